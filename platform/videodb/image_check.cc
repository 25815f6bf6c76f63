#include "platform/videodb/image_check.h"

#include <png.h>
#include <setjmp.h>
#include <stdio.h>  // jpeglib.h needs FILE
#include <stdlib.h>
#include <string.h>

#include <jpeglib.h>

#include <memory>
#include <new>

namespace LibKinoro {
namespace db {
namespace internal {

namespace {

const unsigned char kJpegMagic[] = {0xff, 0xd8, 0xff};
const unsigned char kPngMagic[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};

bool StartsWith(const std::string& bytes, const unsigned char* magic, size_t size) {
  return bytes.size() >= size && memcmp(bytes.data(), magic, size) == 0;
}

// libjpeg reports errors through a callback that must not return: it jumps
// back to the caller's setjmp. The functions that set one hold only plain
// locals, so the jump skips no destructor.
struct JpegErrors {
  jpeg_error_mgr manager;
  jmp_buf jump;
  char message[JMSG_LENGTH_MAX];
};

void JpegFail(j_common_ptr cinfo) {
  JpegErrors* errors = reinterpret_cast<JpegErrors*>(cinfo->err);
  (*cinfo->err->format_message)(cinfo, errors->message);
  longjmp(errors->jump, 1);
}

// Warnings (a missing end marker, stray bytes) would go to standard error,
// which carries the raw answers of "get"; they are not reasons to refuse.
void JpegQuiet(j_common_ptr, int) {}

void InitErrors(JpegErrors* errors) {
  jpeg_std_error(&errors->manager);
  errors->manager.error_exit = JpegFail;
  errors->manager.emit_message = JpegQuiet;
  errors->message[0] = '\0';
}

bool ReadJpegHeader(const std::string& bytes, ImageHeader* header, char* error, size_t error_size) {
  jpeg_decompress_struct cinfo;
  JpegErrors errors;
  InitErrors(&errors);
  cinfo.err = &errors.manager;
  if (setjmp(errors.jump)) {
    snprintf(error, error_size, "broken JPEG header: %s", errors.message);
    jpeg_destroy_decompress(&cinfo);
    return false;
  }
  jpeg_create_decompress(&cinfo);
  jpeg_mem_src(&cinfo, reinterpret_cast<const unsigned char*>(bytes.data()),
               static_cast<unsigned long>(bytes.size()));
  jpeg_read_header(&cinfo, TRUE);  // an image is required: tables alone fail
  header->format = ImageFormat::kJpeg;
  header->width = cinfo.image_width;
  header->height = cinfo.image_height;
  jpeg_destroy_decompress(&cinfo);
  return true;
}

// The JPEG encoding of `rows` (RGB, 3 bytes a pixel). The encoder's output
// buffer lives in `out` so that the error path can free it.
struct JpegOutput {
  unsigned char* buffer = nullptr;
  unsigned long size = 0;
};

bool EncodeJpeg(const unsigned char* rgb, unsigned long width, unsigned long height,
                JpegOutput* out, char* error, size_t error_size) {
  jpeg_compress_struct cinfo;
  JpegErrors errors;
  InitErrors(&errors);
  cinfo.err = &errors.manager;
  if (setjmp(errors.jump)) {
    snprintf(error, error_size, "JPEG encoding failed: %s", errors.message);
    jpeg_destroy_compress(&cinfo);
    return false;
  }
  jpeg_create_compress(&cinfo);
  jpeg_mem_dest(&cinfo, &out->buffer, &out->size);
  cinfo.image_width = static_cast<JDIMENSION>(width);
  cinfo.image_height = static_cast<JDIMENSION>(height);
  cinfo.input_components = 3;
  cinfo.in_color_space = JCS_RGB;
  jpeg_set_defaults(&cinfo);
  jpeg_set_quality(&cinfo, 90, TRUE);
  jpeg_start_compress(&cinfo, TRUE);
  while (cinfo.next_scanline < cinfo.image_height) {
    JSAMPROW row = const_cast<JSAMPROW>(rgb + static_cast<size_t>(cinfo.next_scanline) * width * 3);
    jpeg_write_scanlines(&cinfo, &row, 1);
  }
  jpeg_finish_compress(&cinfo);
  jpeg_destroy_compress(&cinfo);
  return true;
}

struct PngImage {
  png_image image;
  PngImage() {
    memset(&image, 0, sizeof(image));
    image.version = PNG_IMAGE_VERSION;
  }
  ~PngImage() { png_image_free(&image); }
};

bool WithinBounds(const ImageHeader& header, std::string* error) {
  if (header.width == 0 || header.height == 0 || header.width > kMaxImageSide ||
      header.height > kMaxImageSide ||
      static_cast<unsigned long long>(header.width) * header.height > kMaxImagePixels) {
    *error = std::to_string(header.width) + "x" + std::to_string(header.height) +
             " pixels, more than 10000 a side or 50 megapixels";
    return false;
  }
  return true;
}

}  // namespace

namespace {

// Reads a PNG's header into `png`, which then can decode the rest.
bool BeginPng(const std::string& bytes, PngImage* png, ImageHeader* header, std::string* error) {
  if (!png_image_begin_read_from_memory(&png->image, bytes.data(), bytes.size())) {
    *error = std::string("broken PNG header: ") + png->image.message;
    return false;
  }
  header->format = ImageFormat::kPng;
  header->width = png->image.width;
  header->height = png->image.height;
  return true;
}

}  // namespace

bool ReadImageHeader(const std::string& bytes, ImageHeader* header, std::string* error) {
  if (StartsWith(bytes, kJpegMagic, sizeof(kJpegMagic))) {
    char message[JMSG_LENGTH_MAX + 32];
    if (ReadJpegHeader(bytes, header, message, sizeof(message))) return true;
    *error = message;
    return false;
  }
  if (StartsWith(bytes, kPngMagic, sizeof(kPngMagic))) {
    PngImage png;
    return BeginPng(bytes, &png, header, error);
  }
  *error = "not a JPEG or PNG image";
  return false;
}

bool PrepareBackdropImage(const std::string& bytes, std::string* stored, std::string* error) {
  ImageHeader header;
  PngImage png;
  if (StartsWith(bytes, kPngMagic, sizeof(kPngMagic))) {
    if (!BeginPng(bytes, &png, &header, error)) return false;
  } else if (!ReadImageHeader(bytes, &header, error)) {
    return false;
  }
  if (!WithinBounds(header, error)) return false;
  if (header.format == ImageFormat::kJpeg) {
    *stored = bytes;
    return true;
  }
  // Only now, with the size known to be bounded, is the PNG decoded.
  png.image.format = PNG_FORMAT_RGB;
  const size_t size = PNG_IMAGE_SIZE(png.image);
  std::unique_ptr<unsigned char[]> rgb(new (std::nothrow) unsigned char[size]);
  if (!rgb) {
    *error = "no memory to decode the PNG";
    return false;
  }
  const png_color white = {255, 255, 255};
  if (!png_image_finish_read(&png.image, &white, rgb.get(), 0, nullptr)) {
    *error = std::string("PNG does not decode: ") + png.image.message;
    return false;
  }
  JpegOutput out;
  char message[JMSG_LENGTH_MAX + 32];
  bool ok = EncodeJpeg(rgb.get(), header.width, header.height, &out, message, sizeof(message));
  if (ok) {
    stored->assign(reinterpret_cast<const char*>(out.buffer), out.size);
  } else {
    *error = message;
  }
  free(out.buffer);
  return ok;
}

}  // namespace internal
}  // namespace db
}  // namespace LibKinoro
