// Writes the patcher's icon file: a yellow V on a navy rounded square, as two
// images of 32 x 32 and 16 x 16 pixels in 16 colours. Built and run with the
// build machine's own compiler, so the icon is made from source in every
// build and no binary is kept in the repository.
//
// An .ico file is a 6-byte header (reserved 0, type 1 = icon, image count),
// one 16-byte directory entry per image (width, height, colour count,
// reserved, planes, bits per pixel, byte size, file offset) and the images.
// Each image is a BITMAPINFOHEADER (40 bytes, height doubled for the two
// masks), a palette of 16 BGRX entries, the 4-bit colour rows and the 1-bit
// transparency rows, bottom row first, every row padded to 4 bytes. All
// numbers are little-endian.
//
// Usage: make_icon OUTPUT.ico
#include <cmath>
#include <cstdio>
#include <vector>

namespace {

typedef std::vector<unsigned char> Bytes;

void Put16(Bytes &out, unsigned v) {
  out.push_back(static_cast<unsigned char>(v));
  out.push_back(static_cast<unsigned char>(v >> 8));
}

void Put32(Bytes &out, unsigned long v) {
  Put16(out, static_cast<unsigned>(v & 0xFFFF));
  Put16(out, static_cast<unsigned>(v >> 16));
}

// The standard 16-colour palette, as red, green, blue.
const unsigned char kPalette[16][3] = {
    {0, 0, 0},       {128, 0, 0},   {0, 128, 0},   {128, 128, 0},
    {0, 0, 128},     {128, 0, 128}, {0, 128, 128}, {192, 192, 192},
    {128, 128, 128}, {255, 0, 0},   {0, 255, 0},   {255, 255, 0},
    {0, 0, 255},     {255, 0, 255}, {0, 255, 255}, {255, 255, 255}};
const int kBlack = 0, kNavy = 4, kBlue = 12, kYellow = 11;

// Distance from (x, y) to the segment from (ax, ay) to (bx, by).
double SegmentDistance(double x, double y, double ax, double ay, double bx,
                       double by) {
  double dx = bx - ax, dy = by - ay;
  double t = ((x - ax) * dx + (y - ay) * dy) / (dx * dx + dy * dy);
  if (t < 0) t = 0;
  if (t > 1) t = 1;
  double px = ax + t * dx - x, py = ay + t * dy - y;
  return std::sqrt(px * px + py * py);
}

// Distance outside the rounded square that fills an n x n image (negative
// inside).
double OutsideSquare(double x, double y, int n) {
  double r = n / 5.0, lo = 0.5 + r, hi = n - 0.5 - r;
  double cx = x < lo ? lo : (x > hi ? hi : x);
  double cy = y < lo ? lo : (y > hi ? hi : y);
  return std::sqrt((x - cx) * (x - cx) + (y - cy) * (y - cy)) - r;
}

// One image: colour indices and transparency, top row first.
void Draw(int n, std::vector<int> &colour, std::vector<bool> &clear) {
  colour.assign(n * n, kBlack);
  clear.assign(n * n, false);
  double stroke = n / 9.0;
  for (int y = 0; y < n; ++y) {
    for (int x = 0; x < n; ++x) {
      double px = x + 0.5, py = y + 0.5;
      double out = OutsideSquare(px, py, n);
      int c;
      if (out > 0) {
        clear[y * n + x] = true;
        continue;
      }
      if (out > -1.0) {
        c = kBlack;
      } else if (py < n / 2.0) {
        c = kBlue;
      } else {
        c = kNavy;
      }
      double left =
          SegmentDistance(px, py, n * 0.25, n * 0.22, n * 0.5, n * 0.8);
      double right =
          SegmentDistance(px, py, n * 0.75, n * 0.22, n * 0.5, n * 0.8);
      double v = left < right ? left : right;
      if (v <= stroke) c = kYellow;
      colour[y * n + x] = c;
    }
  }
}

Bytes Image(int n) {
  std::vector<int> colour;
  std::vector<bool> clear;
  Draw(n, colour, clear);
  unsigned colourRow = ((n * 4 + 31) / 32) * 4;
  unsigned maskRow = ((n + 31) / 32) * 4;
  Bytes out;
  Put32(out, 40);
  Put32(out, n);
  Put32(out, 2 * n);
  Put16(out, 1);  // planes
  Put16(out, 4);  // bits per pixel
  Put32(out, 0);  // no compression
  Put32(out, (colourRow + maskRow) * n);
  Put32(out, 0);
  Put32(out, 0);
  Put32(out, 0);  // colours used: all 16
  Put32(out, 0);
  for (const auto &rgb : kPalette) {
    out.push_back(rgb[2]);
    out.push_back(rgb[1]);
    out.push_back(rgb[0]);
    out.push_back(0);
  }
  for (int y = n - 1; y >= 0; --y) {
    Bytes row(colourRow, 0);
    for (int x = 0; x < n; ++x) {
      int c = clear[y * n + x] ? 0 : colour[y * n + x];
      row[x / 2] |= static_cast<unsigned char>(x % 2 == 0 ? c << 4 : c);
    }
    out.insert(out.end(), row.begin(), row.end());
  }
  for (int y = n - 1; y >= 0; --y) {
    Bytes row(maskRow, 0);
    for (int x = 0; x < n; ++x) {
      if (clear[y * n + x])
        row[x / 8] |= static_cast<unsigned char>(0x80 >> (x % 8));
    }
    out.insert(out.end(), row.begin(), row.end());
  }
  return out;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_icon OUTPUT.ico\n");
    return 2;
  }
  const int sizes[] = {32, 16};
  std::vector<Bytes> images;
  for (int n : sizes) images.push_back(Image(n));

  Bytes file;
  Put16(file, 0);
  Put16(file, 1);
  Put16(file, static_cast<unsigned>(images.size()));
  unsigned long offset = 6 + 16 * images.size();
  for (size_t i = 0; i < images.size(); ++i) {
    file.push_back(static_cast<unsigned char>(sizes[i]));
    file.push_back(static_cast<unsigned char>(sizes[i]));
    file.push_back(16);  // colours
    file.push_back(0);
    Put16(file, 1);
    Put16(file, 4);
    Put32(file, images[i].size());
    Put32(file, offset);
    offset += images[i].size();
  }
  for (const Bytes &image : images)
    file.insert(file.end(), image.begin(), image.end());

  std::FILE *out = std::fopen(argv[1], "wb");
  if (out == nullptr) {
    std::perror(argv[1]);
    return 1;
  }
  bool ok = std::fwrite(file.data(), 1, file.size(), out) == file.size();
  ok = std::fclose(out) == 0 && ok;
  if (!ok) {
    std::fprintf(stderr, "make_icon: cannot write %s\n", argv[1]);
    return 1;
  }
  return 0;
}
