// Whether an archive row's address is the service's: any text is answered,
// and an address the service itself builds from a plain host part is never
// refused (a repair could otherwise never mend the service's own pictures).

#include "FuzzSupport.h"
#include "catalogue/Service.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text = fuzz::Text(data, size);
    ServiceAddressProblem(text);
    // Without a "/" the path runs on into the host name: no address of a picture.
    const size_t slash = text.find('/');
    if (slash == std::string::npos) return 0;
    const std::string head = text.substr(0, slash);
    const bool plainHead = std::all_of(head.begin(), head.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-';
    });
    if (plainHead && !ServiceAddressProblem(MakeServicePictureUrl(text)).empty()) std::abort();
    return 0;
}
