#pragma once
// The window as the host of the lookup and download commands.

#include "catalogue/CommandHost.h"

class TfrmMain;
class TRzProgressBar;

class TWindowHost : public TCommandHost {
  public:
    explicit TWindowHost(TfrmMain& form) : FForm(form) {}

    void Report(const std::string& channel, const std::string& message) override;
    void AppendLogLine(const std::string& line) override;
    void ProcessEvents() override;
    void Warn(const std::string& message) override;
    std::string AccountName() override;
    void EnableAlbumBox(bool enabled) override;
    void SetBarTotal(TBar bar, uint32_t parts) override;
    void SetBarDone(TBar bar, uint32_t parts) override;
    void ShowPreview(const std::string& path) override;
    void FreeTiles() override;
    void MakeTileSlots(size_t count) override;
    void AddTile(size_t index, const TPList& album, uint64_t generation) override;
    void LoadTileIcon(size_t index, const std::string& path) override;
    void FinishTile(size_t index) override;
    std::vector<TTileChoice> TileChoices() override;
    std::string IconCacheFolder() override;
    std::string PictureFolder() override;

  private:
    TRzProgressBar* Bar(TBar bar) const;
    TfrmMain& FForm;
};
