#include "download/AlbumFiles.h"

#include "core/FileUtils.h"
#include "core/TextUtils.h"
#include "catalogue/AlbumList.h"
#include "download/PictureList.h"

TAlbumFiles AlbumFilesFor(const std::string& root, const std::string& albumName) {
    return AlbumFilesIn(root + "Pic/", albumName);
}

TAlbumFiles AlbumFilesIn(const std::string& pictureFolder, const std::string& albumName) {
    const std::string name = TextTrim(albumName);
    TAlbumFiles files{pictureFolder + name, ""};
    files.DescriptionFile = files.Folder + "/" + name + ".txt";
    // An empty name is the window's own case: the description becomes Pic/.txt.
    if (!IsPlainFileName(name, true)) RaiseCannotCreate(files.DescriptionFile);
    return files;
}

TAlbumFiles WriteAlbumFolder(const std::string& root, const TPList& album) {
    TAlbumFiles files = AlbumFilesFor(root, album.Name);
    WriteAlbumFiles(files, album);
    return files;
}

void WriteAlbumFiles(const TAlbumFiles& files, const TPList& album) {
    MakeFolders(files.Folder);
    SaveTextToFile(album.Desc, files.DescriptionFile);
}

std::string PicturePath(const TAlbumFiles& album, const std::string& pictureUrl) {
    const std::string fileName = PictureFileName(pictureUrl);
    const std::string path = album.Folder + "/" + fileName;
    if (!IsPlainFileName(fileName)) RaiseCannotCreate(path);
    return path;
}
