#pragma once
// The folders the gallery reads and writes, held open by descriptor and
// entered one name at a time without following a link: whatever stands
// under the destination (a link to /etc, a FIFO, a folder where a file
// should be) is never read through nor written through. Names are file
// names on disk (UTF-8), one folder entry each.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

class TGalleryFolder {
  public:
    // The destination itself, as the user named it (a link there is the user's choice).
    static TGalleryFolder OpenRoot(const std::string& path);
    ~TGalleryFolder();
    TGalleryFolder(TGalleryFolder&& other) noexcept;
    TGalleryFolder& operator=(TGalleryFolder&&) = delete;
    TGalleryFolder(const TGalleryFolder&) = delete;

    // The plain folder name in this one; none when it is missing or something else.
    std::optional<TGalleryFolder> Sub(const std::string& name) const;
    // The same, made when missing; EFCreateError when something else stands there.
    TGalleryFolder MakeSub(const std::string& name) const;
    // The bytes of the plain file name, when it is one of at most limit bytes.
    std::optional<std::string> ReadFile(const std::string& name, int64_t limit) const;
    bool HasFile(const std::string& name) const;
    // Writes the file whole under a temporary name (.quillora-gallery-*.tmp), then gives it the name
    // (replacing a plain file or a link there, never writing through one).
    void WriteFile(const std::string& name, const std::string& bytes) const;
    void RemoveFile(const std::string& name) const;
    // The names of the entries (no "." or "..").
    std::vector<std::string> Names() const;
    // Flushes the folder's entries (the renames in it) to the disk.
    void Sync() const;
    // For messages: the path as it was reached.
    const std::string& Path() const { return FPath; }

  private:
    TGalleryFolder(int fd, std::string path) : FFd(fd), FPath(std::move(path)) {}
    int FFd = -1;
    std::string FPath;
};
