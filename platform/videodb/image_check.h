// What Add accepts as a backdrop: a real JPEG or PNG image of bounded size,
// judged from its header before anything is decoded, and always stored as
// JPEG because "get" serves every backdrop as image/jpeg.
#ifndef KINORO_PLATFORM_VIDEODB_IMAGE_CHECK_H_
#define KINORO_PLATFORM_VIDEODB_IMAGE_CHECK_H_

#include <string>

namespace LibKinoro {
namespace db {
namespace internal {

// Bounds of an accepted image, from its header. A decoded 50 megapixel
// image takes 150 MB as RGB, the most one conversion may hold.
constexpr unsigned long kMaxImageSide = 10000;
constexpr unsigned long long kMaxImagePixels = 50000000;

enum class ImageFormat { kJpeg, kPng };

struct ImageHeader {
  ImageFormat format = ImageFormat::kJpeg;
  unsigned long width = 0;
  unsigned long height = 0;
};

// Reads the header of a JPEG (with libjpeg, up to the start of the first
// scan) or a PNG (with libpng, up to the first image data). False with
// `error` set when the bytes are neither or the header is broken.
bool ReadImageHeader(const std::string& bytes, ImageHeader* header, std::string* error);

// The bytes to store for a backdrop: a JPEG unchanged, a PNG decoded and
// encoded as JPEG (transparency over white). False with `error` set for
// anything else, for an image over the bounds, and for a PNG that does not
// decode.
bool PrepareBackdropImage(const std::string& bytes, std::string* stored, std::string* error);

}  // namespace internal
}  // namespace db
}  // namespace LibKinoro

#endif  // KINORO_PLATFORM_VIDEODB_IMAGE_CHECK_H_
