#include "graphics/Picture.h"

#include "graphics/Bitmap.h"
#include "graphics/Icon.h"
#include "graphics/JPEGImage.h"
#include "graphics/Metafile.h"

#if __has_include("graphics/PNGGraphic.h")
#include "graphics/PNGGraphic.h"
#define QUILLORA_HAVE_PNG 1
#endif

#include <cctype>

namespace {

template <class T> TGraphicClass ClassOf(const char* name) {
    return TGraphicClass{name, [] { return std::unique_ptr<TGraphic>(std::make_unique<T>()); }};
}

// The plain ASCII lower-casing: extensions of the registry are ASCII, and a
// GBK byte must never be changed by a locale's idea of case.
std::string LowerCase(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return text;
}

TFileFormatsList* CreateFormats() {
    auto* formats = new TFileFormatsList;
    formats->Add("wmf", "Metafiles", ClassOf<TMetafile>("TMetafile"));
    formats->Add("emf", "Enhanced Metafiles", ClassOf<TMetafile>("TMetafile"));
    formats->Add("ico", "Icons", ClassOf<TIcon>("TIcon"));
    formats->Add("bmp", "Bitmaps", ClassOf<TBitmap>("TBitmap"));
    formats->Add("jpeg", "JPEG Image File", ClassOf<TJPEGImage>("TJPEGImage"));
    formats->Add("jpg", "JPEG Image File", ClassOf<TJPEGImage>("TJPEGImage"));
    return formats;
}

} // namespace

void TFileFormatsList::Add(const std::string& extension, const std::string& description,
                           const TGraphicClass& graphicClass) {
    FItems.push_back(TFileFormat{LowerCase(extension), description, graphicClass, 0});
}

const TGraphicClass* TFileFormatsList::FindByExtension(const std::string& extension) const {
    std::string wanted = LowerCase(extension);
    for (auto it = FItems.rbegin(); it != FItems.rend(); ++it)
        if (it->Extension == wanted) return &it->GraphicClass;
    return nullptr;
}

const TGraphicClass* TFileFormatsList::FindByClassName(const std::string& name) const {
    for (auto it = FItems.rbegin(); it != FItems.rend(); ++it)
        if (it->GraphicClass.Name == name) return &it->GraphicClass;
    return nullptr;
}

void TFileFormatsList::Remove(const std::string& className) {
    std::erase_if(FItems, [&](const TFileFormat& f) { return f.GraphicClass.Name == className; });
}

TFileFormatsList& PictureFormats() {
    // Built on first use and never destroyed, so that late users never meet a
    // dead registry. The PNG reader registers itself through this very
    // function, which then finds the list already there.
    static TFileFormatsList* formats = nullptr;
    if (!formats) {
        formats = CreateFormats();
#ifdef QUILLORA_HAVE_PNG
        RegisterPngFormat();
#endif
    }
    return *formats;
}

void RegisterPictureFormat(const std::string& extension, const std::string& description,
                           const TGraphicClass& graphicClass) {
    PictureFormats().Add(extension, description, graphicClass);
}

void UnregisterPictureFormat(const std::string& className) {
    PictureFormats().Remove(className);
}

std::string PictureFileExtension(const std::string& fileName) {
    // File names are UTF-8 here, whose continuation bytes are never '.', '/' or ':'.
    size_t pos = fileName.find_last_of("./:");
    if (pos == std::string::npos || fileName[pos] != '.') return std::string();
    return fileName.substr(pos + 1);
}

void TPicture::SetGraphic(std::unique_ptr<TGraphic> graphic) {
    Adopt(std::move(graphic));
}

void TPicture::LoadPictureFile(const std::string& fileName) {
    std::string extension = PictureFileExtension(fileName);
    const TGraphicClass* graphicClass = PictureFormats().FindByExtension(extension);
    if (!graphicClass)
        throw EInvalidGraphic(Format("Unknown picture file extension (.%s)", extension.c_str()));
    std::unique_ptr<TGraphic> graphic = graphicClass->Create();
    graphic->OnProgress = OnProgress;
    graphic->LoadFile(fileName); // on failure the new graphic dies here and the old one stays
    Adopt(std::move(graphic));
}

void TPicture::ReadStoredData(TStream& stream) {
    uint8_t length = 0;
    stream.ReadBuffer(&length, 1);
    std::string name(length, '\0');
    stream.ReadBuffer(name.data(), length);
    const TGraphicClass* graphicClass = PictureFormats().FindByClassName(name);
    if (!graphicClass) throw EInvalidGraphic(Format("Unknown picture class %s", name.c_str()));
    std::unique_ptr<TGraphic> graphic = graphicClass->Create();
    graphic->OnProgress = OnProgress;
    graphic->ReadStoredData(stream);
    Adopt(std::move(graphic));
}

void TPicture::Adopt(std::unique_ptr<TGraphic> graphic) {
    FGraphic = std::move(graphic);
    if (FGraphic) FGraphic->OnChange = [this](TGraphic&) { Changed(); };
    Changed();
}

void TPicture::Changed() {
    if (OnChange) OnChange(*this);
}
