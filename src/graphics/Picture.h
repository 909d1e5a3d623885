#pragma once
// The registry of picture file extensions and TPicture, the holder of one
// graphic that loads files through it.
//
// The registry is created at its first use with wmf, emf, ico, bmp, then jpeg
// and jpg; png follows when the PNG reader is part of the build
// (graphics/PNGGraphic.h declares `void RegisterPngFormat();`, which
// PNGGraphic.cpp defines and which registers "png").

#include "graphics/Graphics.h"

#include <memory>
#include <string>
#include <vector>

struct TFileFormat {
    std::string Extension; // lower-cased, no dot
    std::string Description;
    TGraphicClass GraphicClass;
    int DescResID = 0;
};

class TFileFormatsList {
  public:
    void Add(const std::string& extension, const std::string& description, const TGraphicClass& graphicClass);
    // Both search from the last entry to the first; nullptr when nothing matches.
    const TGraphicClass* FindByExtension(const std::string& extension) const;
    const TGraphicClass* FindByClassName(const std::string& name) const;
    void Remove(const std::string& className);

    int Count() const { return static_cast<int>(FItems.size()); }
    const TFileFormat& operator[](int i) const { return FItems.at(static_cast<size_t>(i)); }

  private:
    std::vector<TFileFormat> FItems;
};

// The one registry of the process, created with its entries at the first call.
TFileFormatsList& PictureFormats();
void RegisterPictureFormat(const std::string& extension, const std::string& description,
                           const TGraphicClass& graphicClass);
void UnregisterPictureFormat(const std::string& className);

// The extension as it stands in the file name (no dot, own case): what
// follows the last '.', when no '/' or ':' comes after it; empty otherwise.
std::string PictureFileExtension(const std::string& fileName);

class TPicture {
  public:
    TPicture() = default;
    TPicture(const TPicture&) = delete;
    TPicture& operator=(const TPicture&) = delete;

    TGraphic* Graphic() const { return FGraphic.get(); }
    // Takes ownership; the previous graphic is destroyed.
    void SetGraphic(std::unique_ptr<TGraphic> graphic);
    int Width() const { return FGraphic ? FGraphic->Width() : 0; }
    int Height() const { return FGraphic ? FGraphic->Height() : 0; }

    // Loads a file by its extension. On failure the previous graphic stays.
    void LoadPictureFile(const std::string& fileName);
    // One byte N, N bytes of the class name, then that class's stored data.
    void ReadStoredData(TStream& stream);

    std::function<void(TPicture& sender)> OnChange;
    TProgressEvent OnProgress;

  private:
    void Adopt(std::unique_ptr<TGraphic> graphic);
    void Changed();

    std::unique_ptr<TGraphic> FGraphic;
};
