// Writes the sample library's poster and backdrop images: for every image
// path in the import document, a JPEG with a gradient picked from the title
// and the title drawn on it. Generated at build time so that no binary file
// lives in the repository.
//
// Usage: make_sample_images LIBRARY.json OUTPUT_DIR
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <functional>
#include <iostream>
#include <string>
#include <vector>

#include <json/json.h>
// jpeglib.h needs FILE and size_t declared before it.
#include <jpeglib.h>

namespace {

// 5x7 glyphs, one byte a row, the low five bits the pixels (bit 4 leftmost).
struct Glyph {
  char c;
  unsigned char rows[7];
};

const Glyph kFont[] = {
    {'A', {14, 17, 17, 31, 17, 17, 17}}, {'B', {30, 17, 17, 30, 17, 17, 30}},
    {'C', {14, 17, 16, 16, 16, 17, 14}}, {'D', {30, 17, 17, 17, 17, 17, 30}},
    {'E', {31, 16, 16, 30, 16, 16, 31}}, {'F', {31, 16, 16, 30, 16, 16, 16}},
    {'G', {14, 17, 16, 23, 17, 17, 15}}, {'H', {17, 17, 17, 31, 17, 17, 17}},
    {'I', {14, 4, 4, 4, 4, 4, 14}},      {'J', {7, 2, 2, 2, 2, 18, 12}},
    {'K', {17, 18, 20, 24, 20, 18, 17}}, {'L', {16, 16, 16, 16, 16, 16, 31}},
    {'M', {17, 27, 21, 21, 17, 17, 17}}, {'N', {17, 17, 25, 21, 19, 17, 17}},
    {'O', {14, 17, 17, 17, 17, 17, 14}}, {'P', {30, 17, 17, 30, 16, 16, 16}},
    {'Q', {14, 17, 17, 17, 21, 18, 13}}, {'R', {30, 17, 17, 30, 20, 18, 17}},
    {'S', {15, 16, 16, 14, 1, 1, 30}},   {'T', {31, 4, 4, 4, 4, 4, 4}},
    {'U', {17, 17, 17, 17, 17, 17, 14}}, {'V', {17, 17, 17, 17, 17, 10, 4}},
    {'W', {17, 17, 17, 21, 21, 21, 10}}, {'X', {17, 17, 10, 4, 10, 17, 17}},
    {'Y', {17, 17, 10, 4, 4, 4, 4}},     {'Z', {31, 1, 2, 4, 8, 16, 31}},
    {'0', {14, 17, 19, 21, 25, 17, 14}}, {'1', {4, 12, 4, 4, 4, 4, 14}},
    {'2', {14, 17, 1, 2, 4, 8, 31}},     {'3', {31, 2, 4, 2, 1, 17, 14}},
    {'4', {2, 6, 10, 18, 31, 2, 2}},     {'5', {31, 16, 30, 1, 1, 17, 14}},
    {'6', {6, 8, 16, 30, 17, 17, 14}},   {'7', {31, 1, 2, 4, 8, 8, 8}},
    {'8', {14, 17, 17, 14, 17, 17, 14}}, {'9', {14, 17, 17, 15, 1, 2, 12}},
    {':', {0, 12, 12, 0, 12, 12, 0}},    {'.', {0, 0, 0, 0, 0, 12, 12}},
    {'-', {0, 0, 0, 31, 0, 0, 0}},       {'\'', {4, 4, 8, 0, 0, 0, 0}},
    {',', {0, 0, 0, 0, 12, 4, 8}},       {'!', {4, 4, 4, 4, 4, 0, 4}},
    {'?', {14, 17, 1, 2, 4, 0, 4}},      {'&', {12, 18, 20, 8, 21, 18, 13}},
};

const Glyph* FindGlyph(char c) {
  if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  for (const Glyph& g : kFont) {
    if (g.c == c) return &g;
  }
  return nullptr;  // blank
}

struct Image {
  int width, height;
  std::vector<unsigned char> rgb;
  void Set(int x, int y, unsigned char r, unsigned char g, unsigned char b) {
    if (x < 0 || y < 0 || x >= width || y >= height) return;
    unsigned char* p = &rgb[(static_cast<size_t>(y) * width + x) * 3];
    p[0] = r;
    p[1] = g;
    p[2] = b;
  }
};

// Draws `text` centred on row `top`, scaled so that it fits the width.
void DrawText(Image& image, const std::string& text, int top, int max_scale) {
  if (text.empty()) return;
  int scale = max_scale;
  while (scale > 1 && static_cast<int>(text.size()) * 6 * scale > image.width - 20) --scale;
  const int text_width = static_cast<int>(text.size()) * 6 * scale;
  int x0 = (image.width - text_width) / 2;
  for (char c : text) {
    if (const Glyph* g = FindGlyph(c)) {
      for (int row = 0; row < 7; ++row) {
        for (int col = 0; col < 5; ++col) {
          if (!(g->rows[row] & (1 << (4 - col)))) continue;
          for (int dy = 0; dy < scale; ++dy) {
            for (int dx = 0; dx < scale; ++dx) {
              // A dark shadow first, then the glyph, so it reads on any colour.
              image.Set(x0 + col * scale + dx + 2, top + row * scale + dy + 2, 0, 0, 0);
              image.Set(x0 + col * scale + dx, top + row * scale + dy, 255, 255, 255);
            }
          }
        }
      }
    }
    x0 += 6 * scale;
  }
}

Image Render(const std::string& title, int width, int height, unsigned seed) {
  Image image{width, height, std::vector<unsigned char>(static_cast<size_t>(width) * height * 3)};
  const int r0 = seed & 0xff, g0 = (seed >> 8) & 0xff, b0 = (seed >> 16) & 0xff;
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      const int t = (x * 255 / width + y * 255 / height) / 2;
      image.Set(x, y, static_cast<unsigned char>((r0 * (255 - t) + 30 * t) / 255),
                static_cast<unsigned char>((g0 * (255 - t) + 20 * t) / 255),
                static_cast<unsigned char>((b0 * (255 - t) + 60 * t) / 255));
    }
  }
  DrawText(image, title, height / 2 - 20, width / 80);
  return image;
}

bool WriteJpeg(const Image& image, const std::string& path) {
  FILE* out = std::fopen(path.c_str(), "wb");
  if (!out) return false;
  jpeg_compress_struct cinfo;
  jpeg_error_mgr jerr;
  cinfo.err = jpeg_std_error(&jerr);
  jpeg_create_compress(&cinfo);
  jpeg_stdio_dest(&cinfo, out);
  cinfo.image_width = image.width;
  cinfo.image_height = image.height;
  cinfo.input_components = 3;
  cinfo.in_color_space = JCS_RGB;
  jpeg_set_defaults(&cinfo);
  jpeg_set_quality(&cinfo, 85, TRUE);
  jpeg_start_compress(&cinfo, TRUE);
  while (cinfo.next_scanline < cinfo.image_height) {
    JSAMPROW row = const_cast<JSAMPROW>(&image.rgb[static_cast<size_t>(cinfo.next_scanline) *
                                                    image.width * 3]);
    jpeg_write_scanlines(&cinfo, &row, 1);
  }
  jpeg_finish_compress(&cinfo);
  jpeg_destroy_compress(&cinfo);
  return std::fclose(out) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::cerr << "usage: make_sample_images LIBRARY.json OUTPUT_DIR\n";
    return 2;
  }
  std::ifstream in(argv[1]);
  Json::Value doc;
  bool parsed = false;
  try {
    Json::Reader reader;
    parsed = in && reader.parse(in, doc) && doc.isObject();
  } catch (const std::exception&) {
    // jsoncpp throws instead of failing on nesting beyond its stack limit.
  }
  if (!parsed) {
    std::cerr << "make_sample_images: cannot read " << argv[1] << "\n";
    return 1;
  }
  const std::string out_dir = argv[2];
  int written = 0;
  for (const char* kind : {"movies", "tvshows", "videos"}) {
    for (const Json::Value& video : doc[kind]) {
      const std::string title = video["title"].asString();
      const unsigned seed = static_cast<unsigned>(std::hash<std::string>()(title));
      std::vector<std::pair<std::string, bool>> images;  // path, is poster
      if (video["poster"].isString()) images.emplace_back(video["poster"].asString(), true);
      for (const Json::Value& b : video["backdrops"]) images.emplace_back(b.asString(), false);
      for (const auto& [rel, poster] : images) {
        // A poster or a backdrop: the sizes the clients show them at.
        Image image = poster ? Render(title, 400, 600, seed) : Render(title, 1280, 720, seed);
        if (!WriteJpeg(image, out_dir + "/" + rel)) {
          std::cerr << "make_sample_images: cannot write " << out_dir << "/" << rel << "\n";
          return 1;
        }
        ++written;
      }
    }
  }
  std::cout << "make_sample_images: " << written << " images in " << out_dir << "\n";
  return 0;
}
