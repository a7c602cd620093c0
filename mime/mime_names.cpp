#include "mime/mime_names.h"

#include <cstring>

#include "codec/text_search.h"
#include "platform/platform.h"

namespace qel {
namespace {

struct TypeExtension {
  const char* type;
  const char* extension;
};

constexpr TypeExtension kExtensions[] = {
    {"text/plain", "txt"},
    {"text/html", "html"},
    {"text/calendar", "ics"},
    {"text/csv", "csv"},
    {"text/xml", "xml"},
    {"text/rfc822-headers", "txt"},
    {"message/rfc822", "eml"},
    {"message/global", "eml"},
    {"message/delivery-status", "txt"},
    {"message/disposition-notification", "txt"},
    {"image/png", "png"},
    {"image/jpeg", "jpg"},
    {"image/gif", "gif"},
    {"image/bmp", "bmp"},
    {"image/tiff", "tif"},
    {"image/webp", "webp"},
    {"image/svg+xml", "svg"},
    {"audio/mpeg", "mp3"},
    {"audio/wav", "wav"},
    {"video/mp4", "mp4"},
    {"application/pdf", "pdf"},
    {"application/zip", "zip"},
    {"application/gzip", "gz"},
    {"application/json", "json"},
    {"application/xml", "xml"},
    {"application/msword", "doc"},
    {"application/pgp-signature", "asc"},
    {"application/pkcs7-signature", "p7s"},
    {"application/ics", "ics"},
};
constexpr const char* kTextExtension = "txt";
constexpr const char* kOtherExtension = "bin";
// An extension longer than this is no extension to keep when a name is cut.
constexpr int32_t kLongestKeptExtension = 16;

bool isSeparator(char c) { return c == '\\' || c == '/' || c == ':'; }

bool isContinuationByte(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

}  // namespace

const char* mediaTypeExtension(const char* type) {
  for (const TypeExtension& entry : kExtensions) {
    if (std::strcmp(type, entry.type) == 0) return entry.extension;
  }
  return std::strncmp(type, "text/", 5) == 0 ? kTextExtension : kOtherExtension;
}

int32_t unnamedPartName(const char* type, int32_t number, char* out, int32_t room) {
  return plat::formatText(out, room, "part-%d.%s", number, mediaTypeExtension(type));
}

int32_t fitFileName(char* name, int32_t fit) {
  int32_t length = static_cast<int32_t>(std::strlen(name));
  int32_t start = 0;
  for (int32_t i = 0; i < length; ++i) {
    if (isSeparator(name[i])) start = i + 1;
  }
  length -= start;
  std::memmove(name, name + start, static_cast<size_t>(length) + 1);
  if (length <= fit) return length;
  const char* dot = std::strrchr(name, '.');
  int32_t extension = dot != nullptr && dot != name ? length - static_cast<int32_t>(dot - name) : 0;
  if (extension > kLongestKeptExtension || extension >= fit) extension = 0;
  int32_t stem = fit - extension;
  if (stem < 0) stem = 0;
  while (stem > 0 && isContinuationByte(name[stem])) --stem;
  std::memmove(name + stem, name + length - extension, static_cast<size_t>(extension));
  name[stem + extension] = '\0';
  return stem + extension;
}

bool hasMessageExtension(const char* name) {
  int32_t length = static_cast<int32_t>(std::strlen(name));
  return length >= 4 && equalsNoCase(name + length - 4, ".eml", 4);
}

}  // namespace qel
