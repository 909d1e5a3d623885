#pragma once
// A host for the lookup and download commands without a window: it records
// everything the command asks of it, in order, as one line each, and runs
// a test's hook whenever events would be processed (to close the "window",
// free the tiles, start another lookup ...). Also: the scripted album
// service behind the program's proxy setting, and a private data folder.

#include "catalogue/AlbumList.h"
#include "catalogue/CommandHost.h"
#include "core/Exceptions.h"
#include "core/Gbk.h"
#include "http/ClientSettings.h"
#include "support/ScriptedPeer.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <iterator>
#include <string>
#include <vector>

class TFakeCommandHost : public TCommandHost {
  public:
    struct TTile {
        std::string Name;
        uint64_t Generation = 0;
        bool Ticked = true;
        bool Alive = true;
        std::string Icon; // the thumbnail file loaded into it
        int Index = -1;   // the album index its check box names
    };

    TFakeCommandHost(std::string iconFolder, std::string pictureFolder)
        : FIconFolder(std::move(iconFolder)), FPictureFolder(std::move(pictureFolder)) {}

    std::vector<std::string> Trace;    // every call, in order
    std::vector<std::string> Log;      // the "B" lines and appended lines, as the log shows them
    std::vector<std::string> Warnings; // the warning boxes
    std::vector<TTile> Tiles;
    std::string Account = "quillora";
    std::function<void()> OnEvents; // runs whenever events are processed
    bool Closed = false;            // the window was closed: the next event processing aborts
    int Waits = 0;                  // event processing while a fetch made ahead was awaited

    void Report(const std::string& channel, const std::string& message) override {
        Trace.push_back(channel + ": " + message);
        if (channel == "B") Log.push_back(message);
        ProcessEvents();
    }
    void AppendLogLine(const std::string& line) override {
        Trace.push_back("log: " + line);
        Log.push_back(line);
    }
    void ProcessEvents() override {
        Trace.push_back("events");
        if (OnEvents) OnEvents();
        if (Closed) throw EAbort("Operation aborted");
    }
    // Not traced: how often it runs depends on the network, not on the steps.
    void KeepResponsive() override {
        ++Waits;
        if (OnEvents) OnEvents();
        if (Closed) throw EAbort("Operation aborted");
    }
    void Warn(const std::string& message) override {
        Trace.push_back("warn: " + message);
        Warnings.push_back(message);
    }
    std::string AccountName() override { return Account; }
    void EnableAlbumBox(bool enabled) override { Trace.push_back(enabled ? "box on" : "box off"); }
    void SetBarTotal(TBar bar, uint32_t parts) override {
        Trace.push_back(BarName(bar) + " total " + std::to_string(parts));
    }
    void SetBarDone(TBar bar, uint32_t parts) override {
        Trace.push_back(BarName(bar) + " done " + std::to_string(parts));
    }
    void ShowPreview(const std::string& path) override {
        Trace.push_back("preview " + path);
        Previews.push_back(path);
    }
    void FreeTiles() override {
        Trace.push_back("free tiles");
        for (TTile& tile : Tiles)
            tile.Alive = false;
        Tiles.clear();
    }
    void MakeTileSlots(size_t count) override {
        if (Tiles.size() < count) Tiles.resize(count, TTile{"", 0, false, false, "", -1});
    }
    void AddTile(size_t index, const TPList& album, uint64_t generation) override {
        Trace.push_back("tile " + std::to_string(index) + " " + album.Name);
        Tiles.at(index) = TTile{album.Name, generation, true, true, "", int(index)};
    }
    void LoadTileIcon(size_t index, const std::string& path) override {
        Trace.push_back("icon " + std::to_string(index));
        if (index < Tiles.size() && Tiles[index].Alive) Tiles[index].Icon = ReadFile(path);
    }
    void FinishTile(size_t index) override { Trace.push_back("finish " + std::to_string(index)); }
    std::vector<TTileChoice> TileChoices() override {
        std::vector<TTileChoice> choices;
        for (const TTile& tile : Tiles)
            choices.push_back({tile.Alive && tile.Ticked, tile.Alive ? tile.Index : -1, tile.Generation});
        return choices;
    }
    std::string IconCacheFolder() override { return FIconFolder; }
    std::string PictureFolder() override { return FPictureFolder; }

    std::vector<std::string> Previews;

    // The trace lines that start with prefix, in order.
    std::vector<std::string> TraceOf(const std::string& prefix) const {
        std::vector<std::string> lines;
        for (const std::string& line : Trace)
            if (line.rfind(prefix, 0) == 0) lines.push_back(line);
        return lines;
    }
    static std::string ReadFile(const std::string& path) {
        std::ifstream in(GbkToFileName(path), std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }

  private:
    static std::string BarName(TBar bar) { return bar == TBar::Albums ? "sb1" : "sb2"; }
    std::string FIconFolder;
    std::string FPictureFolder;
};

// A private folder with tmp/ and Pic/ paths in it, removed at the end.
class TDataRoot {
  public:
    TDataRoot() {
        std::string pattern = (std::filesystem::temp_directory_path() / "quillora-cmd-XXXXXX").string();
        Path = ::mkdtemp(pattern.data());
    }
    ~TDataRoot() {
        std::error_code ignored;
        std::filesystem::remove_all(Path, ignored);
    }
    std::string Tmp() const { return FileNameToGbk(Path.string()) + "/tmp/"; }
    std::string Pic() const { return FileNameToGbk(Path.string()) + "/Pic/"; }
    // Every file below the root, as paths relative to it, sorted.
    std::vector<std::string> Files() const {
        std::vector<std::string> files;
        for (const auto& e : std::filesystem::recursive_directory_iterator(Path))
            if (!e.is_directory()) files.push_back(std::filesystem::relative(e.path(), Path).string());
        std::sort(files.begin(), files.end());
        return files;
    }
    std::filesystem::path Path;
};

// The album service as one scripted peer that the program reaches as its
// proxy: connection i answers the i-th fetch with replies[i].
class TScriptedService {
  public:
    // The peer answers connections in the order they come, so the fetches
    // must come one after another, each on its own connection.
    explicit TScriptedService(const std::vector<std::string>& replies) : FPeer(Scripts(replies)) {
        ::setenv("QUILLORA_CONNECTIONS", "0", 1);
        ::setenv("http_proxy", ("http://127.0.0.1:" + std::to_string(FPeer.Port())).c_str(), 1);
        ::unsetenv("no_proxy");
        ::unsetenv("NO_PROXY");
        SetClientReadTimeout(5000);
    }
    ~TScriptedService() {
        ::unsetenv("QUILLORA_CONNECTIONS");
        ::unsetenv("http_proxy");
        SetClientReadTimeout(0);
    }
    // The request line of fetch i.
    std::string RequestLine(size_t i) {
        const std::string request = FPeer.Received(i);
        return request.substr(0, request.find("\r\n"));
    }
    TScriptedPeer& Peer() { return FPeer; }

    static std::string Ok(const std::string& body) {
        return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
    }
    static std::string NotFound() { return "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n"; }

  private:
    static std::vector<TPeerScript> Scripts(const std::vector<std::string>& replies) {
        std::vector<TPeerScript> scripts;
        for (const std::string& reply : replies)
            scripts.push_back({TPeerStep::ReadUntil("\r\n\r\n"), TPeerStep::Send(reply), TPeerStep::Close()});
        return scripts;
    }
    TScriptedPeer FPeer;
};

// One record of an album-list script.
inline std::string AlbumRecord(const std::string& name, const std::string& desc, int count,
                               const std::string& icon, const std::string& pictureList) {
    return "{id:1,name:'" + name + "',s:0,desc:'" + desc + "',st:1,au:0,count:" + std::to_string(count) +
           ",t:5,lurl:'" + icon + "',dmt:7,purl:'" + pictureList + "'}";
}
