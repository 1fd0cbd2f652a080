#include "codec/foreign.h"

#include <bzlib.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <cstdlib>
#include <memory>
#include <new>
#include <vector>

#include "codec/format.h"
#include "common/diag.h"
#include "common/io.h"
#include "common/unique_fd.h"
#include "location/stream.h"
#include "status/status.h"

namespace mirt {
namespace {

// Large transfers keep the decompression as fast as the reference tools;
// progress still counts one unit per 1024 output bytes.
constexpr uint32_t kChunk = 256 * 1024;
constexpr uint32_t kProgressUnit = 1024;

constexpr const char* kCorrupt = "corrupt input";
constexpr const char* kTruncated = "unexpected end of input";

enum class Kind { None, Gzip, Bzip2 };

Kind kind_of(uint32_t magic) {
  if (magic >= 0x1F8B0000u && magic <= 0x1F8BFFFFu) return Kind::Gzip;
  if (magic >= 0x425A6800u && magic <= 0x425A68FFu) return Kind::Bzip2;
  return Kind::None;
}

// Output side: writes everything, counts the bytes and advances the
// progress display by one unit per 1024 bytes.
class Sink {
 public:
  explicit Sink(int output) : output_(output) {}

  bool write(const uint8_t* data, size_t length) {
    if (!write_full(output_, data, length)) {
      report_system_error("write", errno);
      return false;
    }
    total_ += length;
    carry_ += length;
    // One step, and so one redraw, for every 1024 bytes, as a transfer in
    // 1024-byte pieces would show.
    for (; carry_ >= kProgressUnit; carry_ -= kProgressUnit) progress_step(1);
    return true;
  }

  // The last, short read counts as one more unit.
  uint64_t finish() {
    progress_step(1);
    return total_;
  }

 private:
  int output_;
  uint64_t total_ = 0;
  uint64_t carry_ = 0;
};

// Copies the magic and the rest of a stream that cannot rewind into an
// unlinked temporary file, positioned at its start. Returns the
// descriptor, or -1 after a report.
int spool_to_temp(int input, uint32_t magic, std::vector<uint8_t>& buffer) {
  char name[128] = "/tmp/mirtXXXXXX";
  UniqueFd temp(mkstemp(name));
  if (temp.get() < 0) {
    report_system_error("mkstemp", errno);
    return -1;
  }
  // Nothing is left behind whatever happens from here on.
  unlink(name);

  if (write_be(temp.get(), magic, 4) != 4) return -1;
  for (;;) {
    int32_t got = read_full(input, buffer.data(), kChunk);
    if (got < 0) {
      report_system_error("read", errno);
      return -1;
    }
    if (!write_full(temp.get(), buffer.data(), static_cast<size_t>(got))) {
      report_system_error("write", errno);
      return -1;
    }
    if (static_cast<uint32_t>(got) < kChunk) break;
  }
  if (seek_location(temp.get(), 0, 0) != 0) {
    report_system_error("lseek", errno);
    return -1;
  }
  return temp.release();
}

struct GzCloser {
  void operator()(gzFile_s* file) const { gzclose_r(file); }
};

bool gunzip(int input, Sink& sink, std::vector<uint8_t>& buffer) {
  // The reader closes what it reads; the caller still owns `input`.
  int own = dup(input);
  if (own < 0) {
    report_system_error("dup", errno);
    return false;
  }
  std::unique_ptr<gzFile_s, GzCloser> gz(gzdopen(own, "r"));
  if (!gz) {
    close(own);
    throw std::bad_alloc();
  }
  gzbuffer(gz.get(), kChunk);

  int err = Z_OK;
  for (;;) {
    int got = gzread(gz.get(), buffer.data(), kChunk);
    if (got < 0) {
      int saved = errno;
      gzerror(gz.get(), &err);
      if (err == Z_ERRNO) {
        report_system_error("read", saved);
      } else if (err == Z_MEM_ERROR) {
        throw std::bad_alloc();
      } else {
        report("gzip: %s\n", kCorrupt);
      }
      return false;
    }
    if (got == 0) break;
    if (!sink.write(buffer.data(), static_cast<size_t>(got))) return false;
  }
  // zlib flags a stream that ends early but hands out what it decoded.
  gzerror(gz.get(), &err);
  if (err != Z_OK) {
    report("gzip: %s\n", err == Z_BUF_ERROR ? kTruncated : kCorrupt);
    return false;
  }
  return true;
}

struct BzStream {
  bz_stream strm{};
  bool open = false;
  ~BzStream() {
    if (open) BZ2_bzDecompressEnd(&strm);
  }
  int restart() {
    char* next_in = strm.next_in;
    unsigned avail_in = strm.avail_in;
    if (open) BZ2_bzDecompressEnd(&strm);
    strm = bz_stream{};
    open = BZ2_bzDecompressInit(&strm, 0, 0) == BZ_OK;
    strm.next_in = next_in;
    strm.avail_in = avail_in;
    return open ? BZ_OK : BZ_MEM_ERROR;
  }
};

// Decodes every concatenated stream, as the bzip2 tool does; bytes after
// the last stream that do not start another one are ignored like there.
bool bunzip(int input, Sink& sink, std::vector<uint8_t>& buffer) {
  std::vector<uint8_t> compressed(kChunk);
  BzStream bz;
  bool in_stream = false;
  bool at_eof = false;
  unsigned streams_done = 0;

  for (;;) {
    if (bz.strm.avail_in == 0 && !at_eof) {
      int32_t got = read_full(input, compressed.data(), kChunk);
      if (got < 0) {
        report_system_error("read", errno);
        return false;
      }
      at_eof = got == 0;
      bz.strm.next_in = reinterpret_cast<char*>(compressed.data());
      bz.strm.avail_in = static_cast<unsigned>(got);
    }
    if (!in_stream) {
      if (bz.strm.avail_in == 0 && at_eof) break;
      if (bz.restart() != BZ_OK) throw std::bad_alloc();
      in_stream = true;
    }

    bz.strm.next_out = reinterpret_cast<char*>(buffer.data());
    bz.strm.avail_out = kChunk;
    int rc = BZ2_bzDecompress(&bz.strm);
    size_t produced = kChunk - bz.strm.avail_out;
    if (produced > 0 && !sink.write(buffer.data(), produced)) return false;

    if (rc == BZ_STREAM_END) {
      in_stream = false;
      ++streams_done;
      continue;
    }
    bool later_stream = streams_done > 0;
    if (rc == BZ_DATA_ERROR_MAGIC && later_stream) break;
    if (rc == BZ_MEM_ERROR) throw std::bad_alloc();
    if (rc != BZ_OK) {
      report("bzip2: %s\n", kCorrupt);
      return false;
    }
    if (produced == 0 && bz.strm.avail_in == 0 && at_eof) {
      // A few stray bytes after a complete stream are no stream at all.
      if (later_stream && bz.strm.total_in_lo32 < 4 && bz.strm.total_in_hi32 == 0) break;
      report("bzip2: %s\n", kTruncated);
      return false;
    }
  }
  return true;
}

}  // namespace

bool is_foreign_magic(uint32_t magic) { return kind_of(magic) != Kind::None; }

StreamResult decompress_foreign(int input, int output, uint32_t magic) {
  Kind kind = kind_of(magic);
  if (kind == Kind::None) return {};
  status_message(1, kind == Kind::Gzip ? "Gunzipping..." : "Bunzipping...");

  std::vector<uint8_t> buffer(kChunk);

  // The magic is already consumed: rewind, or spool a pipe to a file.
  const bool rewound = seek_location(input, 0, 0) == 0;
  UniqueFd temp(rewound ? -1 : spool_to_temp(input, magic, buffer));
  if (!rewound && temp.get() < 0) return {};
  const int source = rewound ? input : temp.get();

  Sink sink(output);
  const bool ok = kind == Kind::Gzip ? gunzip(source, sink, buffer) : bunzip(source, sink, buffer);
  return {ok, ok ? sink.finish() : 0};
}

}  // namespace mirt
