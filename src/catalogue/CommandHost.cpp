#include "catalogue/CommandHost.h"

#include "core/Classes.h"
#include "core/FileUtils.h"
#include "http/BoundedFetch.h"

void FetchToFile(const std::string& url, const std::string& path) {
    TMemoryStream stream;
    FetchBoundedFile(url, stream);
    SaveBytesToFile(stream, path);
}
