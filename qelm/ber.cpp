#include "qelm/ber.h"

#include <cstring>

namespace qelm {
namespace {
// Nesting deeper than this is not a message this library writes or reads.
constexpr int kMaxDepth = 64;
}  // namespace

bool BerReader::ReadBytes(void* out, size_t n) {
  if (file_ != nullptr) {
    if (std::fread(out, 1, n, file_) != n) return false;
  } else {
    if (bytes_.size() - pos_ < n || pos_ > bytes_.size()) return false;
    std::memcpy(out, bytes_.data() + pos_, n);
  }
  pos_ += n;
  return true;
}

bool BerReader::SkipBytes(uint64_t n) {
  if (file_ != nullptr) {
    if (fileSize_ < 0) {
      // The file's size, read once: a skip beyond it is a truncated message.
      if (std::fseek(file_, 0, SEEK_END) != 0) return false;
      fileSize_ = std::ftell(file_);
      if (fileSize_ < 0) return false;
    }
    if (n > static_cast<uint64_t>(fileSize_) || pos_ + n > static_cast<uint64_t>(fileSize_)) return false;
    if (std::fseek(file_, static_cast<long>(pos_ + n), SEEK_SET) != 0) return false;
  } else {
    if (pos_ > bytes_.size() || bytes_.size() - pos_ < n) return false;
  }
  pos_ += n;
  return true;
}

bool BerReader::ReadHeader(Tlv* tlv) {
  unsigned char b;
  const uint64_t headerStart = pos_;
  if (!ReadBytes(&b, 1)) return false;
  *tlv = {};
  tlv->headerStart = headerStart;
  tlv->tagClass = b >> 6;
  tlv->constructed = (b & 0x20) != 0;
  tlv->tag = b & 0x1F;
  if (tlv->tag == 0x1F) {
    tlv->tag = 0;
    for (int i = 0;; ++i) {
      if (i == 4 || !ReadBytes(&b, 1)) return false;
      tlv->tag = (tlv->tag << 7) | (b & 0x7F);
      if ((b & 0x80) == 0) break;
    }
  }
  if (!ReadBytes(&b, 1)) return false;
  if (b == 0x80) {
    if (!tlv->constructed) return false;
    tlv->indefinite = true;
  } else if (b & 0x80) {
    int n = b & 0x7F;
    if (n > 8) return false;
    uint64_t length = 0;
    for (int i = 0; i < n; ++i) {
      if (!ReadBytes(&b, 1)) return false;
      length = (length << 8) | b;
    }
    tlv->length = length;
  } else {
    tlv->length = b;
  }
  tlv->start = pos_;
  return true;
}

bool BerReader::Skip(const Tlv& tlv) {
  if (!tlv.indefinite) return SkipBytes(tlv.length);
  return SkipRest(tlv);
}

bool BerReader::SkipRest(const Tlv& parent) {
  if (!parent.indefinite) {
    uint64_t end = parent.start + parent.length;
    return pos_ <= end && SkipBytes(end - pos_);
  }
  if (++depth_ > kMaxDepth) return false;
  bool ok = true;
  for (;;) {
    Tlv child;
    bool end = false;
    if (!NextChild(parent, &child, &end)) {
      ok = false;
      break;
    }
    if (end) break;
    if (!Skip(child)) {
      ok = false;
      break;
    }
  }
  --depth_;
  return ok;
}

bool BerReader::ReadValue(const Tlv& tlv, std::string* value, size_t limit) {
  if (tlv.indefinite || tlv.constructed || tlv.length > limit) return false;
  value->assign(static_cast<size_t>(tlv.length), '\0');
  return ReadBytes(value->data(), value->size());
}

bool BerReader::NextChild(const Tlv& parent, Tlv* child, bool* end) {
  *end = false;
  if (!parent.indefinite) {
    uint64_t limit = parent.start + parent.length;
    if (pos_ == limit) {
      *end = true;
      return true;
    }
    if (pos_ > limit || !ReadHeader(child)) return false;
    return child->indefinite || child->start + child->length <= limit;
  }
  if (!ReadHeader(child)) return false;
  if (child->IsEoc()) *end = true;
  return true;
}

bool BerReader::MeasureOctets(const Tlv& tlv, uint64_t* length) {
  if (!tlv.constructed) {
    *length += tlv.length;
    return SkipBytes(tlv.length);
  }
  if (++depth_ > kMaxDepth) return false;
  bool ok = true;
  for (;;) {
    Tlv child;
    bool end = false;
    if (!NextChild(tlv, &child, &end)) {
      ok = false;
      break;
    }
    if (end) break;
    if (!MeasureOctets(child, length)) {
      ok = false;
      break;
    }
  }
  --depth_;
  return ok;
}

std::string OidText(std::string_view der) {
  if (der.empty()) return {};
  std::string text;
  uint64_t value = 0;
  bool first = true;
  for (size_t i = 0; i < der.size(); ++i) {
    unsigned char b = static_cast<unsigned char>(der[i]);
    if (value > (UINT64_MAX >> 7)) return {};
    value = (value << 7) | (b & 0x7F);
    if (b & 0x80) {
      if (i + 1 == der.size()) return {};
      continue;
    }
    if (first) {
      uint64_t top = value < 40 ? 0 : value < 80 ? 1 : 2;
      text = std::to_string(top) + "." + std::to_string(value - top * 40);
      first = false;
    } else {
      text += "." + std::to_string(value);
    }
    value = 0;
  }
  return text;
}

}  // namespace qelm
