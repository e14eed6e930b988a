#include "commands/image_header.h"

#include <algorithm>
#include <cstring>
#include <string>

namespace tavrik {
namespace {

// Bounds-checked reads over the buffer; every reader returns nothing past the end.
class Bytes {
 public:
  Bytes(const unsigned char* data, std::size_t size) : data_(data), size_(size) {}
  std::size_t Size() const { return size_; }
  bool Has(std::size_t at, std::size_t count) const { return at <= size_ && count <= size_ - at; }
  bool Starts(std::string_view magic, std::size_t at = 0) const {
    return Has(at, magic.size()) && std::memcmp(data_ + at, magic.data(), magic.size()) == 0;
  }
  unsigned char At(std::size_t at) const { return data_[at]; }
  std::optional<std::uint64_t> Unsigned(std::size_t at, std::size_t count, bool bigEndian) const {
    if (!Has(at, count)) return std::nullopt;
    std::uint64_t v = 0;
    for (std::size_t i = 0; i < count; ++i) {
      const std::size_t k = bigEndian ? i : count - 1 - i;
      v = (v << 8) | data_[at + k];
    }
    return v;
  }
  std::optional<std::uint64_t> Be(std::size_t at, std::size_t count) const {
    return Unsigned(at, count, true);
  }
  std::optional<std::uint64_t> Le(std::size_t at, std::size_t count) const {
    return Unsigned(at, count, false);
  }

 private:
  const unsigned char* data_;
  std::size_t size_;
};

std::optional<ImageDimensions> Make(std::optional<std::uint64_t> width,
                                    std::optional<std::uint64_t> height) {
  if (!width || !height || *width == 0 || *height == 0 || *width > UINT32_MAX ||
      *height > UINT32_MAX) {
    return std::nullopt;
  }
  return ImageDimensions{static_cast<std::uint32_t>(*width), static_cast<std::uint32_t>(*height)};
}

std::optional<ImageDimensions> Png(const Bytes& b) {
  if (!b.Starts("IHDR", 12) || b.Be(8, 4) != 13u) return std::nullopt;
  return Make(b.Be(16, 4), b.Be(20, 4));
}

std::optional<ImageDimensions> Bmp(const Bytes& b) {
  const auto headerSize = b.Le(14, 4);
  if (!headerSize) return std::nullopt;
  if (*headerSize == 12) return Make(b.Le(18, 2), b.Le(20, 2));  // OS/2 core header
  if (*headerSize < 16) return std::nullopt;
  const auto width = b.Le(18, 4);
  const auto height = b.Le(22, 4);
  if (!width || !height) return std::nullopt;
  // Signed: a negative height is a top-down bitmap, a negative width is malformed.
  const auto w = static_cast<std::int32_t>(static_cast<std::uint32_t>(*width));
  const auto h = static_cast<std::int32_t>(static_cast<std::uint32_t>(*height));
  if (w <= 0 || h == 0 || h == INT32_MIN) return std::nullopt;
  return Make(static_cast<std::uint64_t>(w), static_cast<std::uint64_t>(h < 0 ? -h : h));
}

std::optional<ImageDimensions> Jpeg(const Bytes& b) {
  std::size_t at = 2;
  for (;;) {
    if (!b.Has(at, 2) || b.At(at) != 0xFF) return std::nullopt;
    while (b.Has(at + 1, 1) && b.At(at + 1) == 0xFF) ++at;  // fill bytes
    if (!b.Has(at, 2)) return std::nullopt;
    const unsigned char marker = b.At(at + 1);
    at += 2;
    if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7)) continue;           // no length
    if (marker == 0xD9 || marker == 0xDA || marker == 0x00) return std::nullopt;  // no frame seen
    const auto length = b.Be(at, 2);
    if (!length || *length < 2) return std::nullopt;
    const bool frame =
        marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
    // A height of 0 defers it to a DNL marker after the first scan; not bounded here.
    if (frame) return Make(b.Be(at + 5, 2), b.Be(at + 3, 2));
    at += static_cast<std::size_t>(*length);
  }
}

std::optional<ImageDimensions> Tiff(const Bytes& b) {
  const bool bigEndian = b.At(0) == 'M';
  const auto u = [&](std::size_t at, std::size_t count) {
    return b.Unsigned(at, count, bigEndian);
  };
  const auto directory = u(4, 4);
  if (!directory || *directory > b.Size()) return std::nullopt;
  const auto count = u(static_cast<std::size_t>(*directory), 2);
  if (!count) return std::nullopt;
  std::optional<std::uint64_t> width, height;
  for (std::uint64_t i = 0; i < *count; ++i) {
    const std::size_t entry =
        static_cast<std::size_t>(*directory) + 2 + static_cast<std::size_t>(i) * 12;
    if (!b.Has(entry, 12)) return std::nullopt;
    const auto tag = u(entry, 2);
    const auto type = u(entry + 2, 2);
    if (tag != 256u && tag != 257u) continue;
    std::optional<std::uint64_t> value;
    if (type == 3u) {
      value = u(entry + 8, 2);  // SHORT
    } else if (type == 4u) {
      value = u(entry + 8, 4);  // LONG
    }
    if (!value) return std::nullopt;
    (tag == 256u ? width : height) = value;
    if (width && height) break;
  }
  return Make(width, height);
}

bool IsBlank(unsigned char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

// ASCII header tokens of the PNM family: blanks separate, '#' starts a comment to the line's end,
// and a token counts only once a blank ends it.
class TextHeader {
 public:
  TextHeader(const Bytes& b, std::size_t at) : b_(b), at_(at) {}
  std::optional<std::string> Token() {
    for (;;) {
      while (b_.Has(at_, 1) && IsBlank(b_.At(at_))) ++at_;
      if (!b_.Has(at_, 1)) return std::nullopt;
      if (b_.At(at_) != '#') break;
      while (b_.Has(at_, 1) && b_.At(at_) != '\n' && b_.At(at_) != '\r') ++at_;
    }
    std::string token;
    while (b_.Has(at_, 1) && !IsBlank(b_.At(at_)) && token.size() < 32) {
      token.push_back(static_cast<char>(b_.At(at_++)));
    }
    // A token the data cuts off may be the first digits of a larger number.
    if (!b_.Has(at_, 1)) return std::nullopt;
    return token;
  }
  std::optional<std::uint64_t> Number() {
    const auto token = Token();
    if (!token || token->empty() || token->size() > 10) return std::nullopt;
    std::uint64_t v = 0;
    for (const char c : *token) {
      if (c < '0' || c > '9') return std::nullopt;
      v = v * 10 + static_cast<std::uint64_t>(c - '0');
    }
    return v;
  }

 private:
  const Bytes& b_;
  std::size_t at_;
};

std::optional<ImageDimensions> Pnm(const Bytes& b) {
  TextHeader header(b, 2);
  if (b.At(1) != '7') {
    const auto width = header.Number();
    return Make(width, header.Number());
  }
  // PAM: "KEY value" lines up to ENDHDR.
  std::optional<std::uint64_t> width, height;
  for (int tokens = 0; tokens < 64; ++tokens) {
    const auto key = header.Token();
    if (!key) return std::nullopt;
    if (*key == "ENDHDR") return Make(width, height);
    if (*key == "WIDTH") width = header.Number();
    if (*key == "HEIGHT") height = header.Number();
  }
  return std::nullopt;
}

}  // namespace

std::optional<ImageDimensions> ReadImageDimensions(const unsigned char* data, std::size_t size) {
  if (data == nullptr) return std::nullopt;
  const Bytes b(data, size);
  // Each test is the decoder's own signature test or a narrower one, so the decoder that reads a
  // file is always the one whose header was read here, never a later one in the decoder's list
  // (GDAL, for one, which would take a file through a temporary copy).
  if (b.Starts("\x89PNG\r\n\x1a\n")) return Png(b);
  if (b.Starts("BM")) return Bmp(b);
  if (b.Starts("\xFF\xD8\xFF")) return Jpeg(b);
  if (b.Starts(std::string_view("II*\0", 4)) || b.Starts(std::string_view("MM\0*", 4))) {
    return Tiff(b);
  }
  if (b.Size() >= 3 && b.At(0) == 'P' && b.At(1) >= '1' && b.At(1) <= '7' && IsBlank(b.At(2))) {
    return Pnm(b);
  }
  return std::nullopt;
}

}  // namespace tavrik
