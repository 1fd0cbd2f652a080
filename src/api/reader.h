// The streaming reader: the decompressor runs on its own thread and hands
// the plain bytes back through a local socket; after a seek, blocks are
// decoded where the reads need them instead.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "api/block_reader.h"
#include "api/codec_thread.h"
#include "api/container_index.h"
#include "api/context.h"
#include "api/source.h"

struct mirt_reader {
  const mirt_context* context = nullptr;
  // Where the containers come from: a descriptor the codec reads itself,
  // or callbacks or memory that the caller's thread feeds it.
  int fd = -1;
  uint64_t fd_base = 0;
  bool has_input = false;
  mirt_input input{};
  const uint8_t* memory = nullptr;
  size_t memory_size = 0;

  // Read from the start, through the codec.
  mirt::api::Channel plain;
  mirt::api::Channel feed;
  std::vector<uint8_t> pending;
  size_t pending_at = 0;
  bool feed_ended = false;
  bool plain_ended = false;
  mirt::api::CodecThread codec;
  bool launched = false;  // the codec starts at the first read

  // After a seek: the index, and blocks decoded on demand.
  std::unique_ptr<mirt::api::Source> source;
  std::unique_ptr<mirt_index> index;
  std::unique_ptr<mirt::api::BlockReader> blocks;

  uint64_t position = 0;
  int status = MIRT_OK;  // a failure every later call repeats
  std::string message;

  int start();
  int64_t read(uint8_t* buffer, size_t size);
  int64_t seek(int64_t offset, int whence);
  void stop_codec();

 private:
  int launch();
  int64_t read_plain(uint8_t* buffer, size_t size);
  int feed_codec();
  int refill();
  int switch_to_blocks();
  int stop(int status);
};

namespace mirt::api {

// A reader of `memory` (one-shot decompression); MIRT_OK or a status.
int open_memory_reader(const mirt_context* context, const void* memory, size_t size,
                       std::unique_ptr<mirt_reader>& reader);

}  // namespace mirt::api
