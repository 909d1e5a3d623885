#pragma once
// The photo-album service's fixed values, in one place.

#include <string>

namespace Service {
// Host of the account home pages: http://<HomeHost>/<account>.
inline const std::string HomeHost = "photo.quillora.example";
// Picture hosts are named <PictureHostPrefix><first path segment><PictureHostSuffix>.
inline const std::string PictureHostPrefix = "img";
inline const std::string PictureHostSuffix = ".photo.quillora.example";
} // namespace Service

// The address of a picture or thumbnail path as the service stores it
// ("b12/photo/x.jpg" -> "http://imgb12.photo.quillora.example/photo/x.jpg").
std::string MakeServicePictureUrl(const std::string& path);
// The path between "<marker>" plus its opening quote and the closing quote
// before endMarker, cut out of a record.
std::string QuotedPathBetween(const std::string& record, const std::string& marker,
                              const std::string& endMarker);
