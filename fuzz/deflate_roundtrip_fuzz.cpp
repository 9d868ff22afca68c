// The ZIP writer's compressor on arbitrary input: its stream must inflate
// (with zlib) to exactly the input, whatever the input and however the source
// hands it over.

#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "service/zip/deflate.h"

namespace {

class Io : public zip::DeflateIo {
 public:
  Io(const std::uint8_t* data, std::size_t size, std::size_t piece) : data_(data), size_(size), piece_(piece) {}
  long ReadSource(std::uint8_t* buffer, std::size_t n) override {
    n = std::min({n, piece_, size_ - pos_});
    if (n > 0) std::memcpy(buffer, data_ + pos_, n);
    pos_ += n;
    return static_cast<long>(n);
  }
  bool WriteArchive(const std::uint8_t* d, std::size_t n) override {
    out.insert(out.end(), d, d + n);
    return true;
  }
  std::vector<std::uint8_t> out;

 private:
  const std::uint8_t* data_;
  std::size_t size_, piece_, pos_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static zip::DeflateState state;  // reused, as the writer reuses it
  std::size_t piece = size > 0 ? 1 + data[0] * 257u : 1;
  Io io(data, size, piece);
  std::vector<std::uint8_t> buffer(zip::kDeflateOutputBufferSize);
  std::uint16_t flags = 0;
  std::uint64_t n = state.DeflateEntry(flags, buffer.data(), io);
  if (state.ErrorText() != nullptr || n != io.out.size()) std::abort();

  std::vector<std::uint8_t> back(size + 1);
  z_stream z{};
  inflateInit2(&z, -15);
  z.next_in = io.out.data();
  z.avail_in = static_cast<uInt>(io.out.size());
  z.next_out = back.data();
  z.avail_out = static_cast<uInt>(back.size());
  int rc = inflate(&z, Z_FINISH);
  std::size_t got = z.total_out;
  inflateEnd(&z);
  if (rc != Z_STREAM_END || got != size || (size > 0 && std::memcmp(back.data(), data, size) != 0)) std::abort();
  return 0;
}
