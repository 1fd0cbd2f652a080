/*
 * libmirt: the mirt container codec as a library.
 *
 * What the `mirt` program does to files, for programs: compress and expand
 * memory buffers, write and read containers as streams over a descriptor
 * or callbacks, and read any range of a container's plain bytes by
 * decoding only the blocks that hold it.
 *
 * A container cuts its plain bytes into blocks of one size S: block i
 * holds plain bytes [i*S, (i+1)*S) (the last one fewer), each block is
 * stored whole by one algorithm, and its record states its stored length.
 * The block records of a file can thus be listed without decoding
 * anything (mirt_index_build), and any byte range decoded from the blocks
 * that cover it (mirt_index_read, mirt_reader_seek).
 *
 * Conventions
 *   - Everything is prefixed mirt_ / MIRT_. The library exports nothing
 *     else.
 *   - Functions that can fail return MIRT_OK (0) or a byte count, and a
 *     negative mirt_status on failure. The text of the failure is then
 *     available to the calling thread from mirt_last_error().
 *   - The library never prints, never exits, never prompts, never reads
 *     the terminal and never opens a network connection (download
 *     locations recorded in a container are not followed; `try_urls` in a
 *     configuration has no effect here). It reads the configuration files
 *     named below, the plugins they load, and what it is given.
 *   - Sizes and offsets are 64-bit.
 *   - Threads: a context, an index and the plugin table may be used by any
 *     number of threads at once. A writer or a reader is used by one
 *     thread at a time (not necessarily always the same one). Contexts
 *     share no mutable state; the only process-wide state is the table of
 *     loaded plugins, filled once per plugin and guarded.
 *   - The library may start threads of its own (the codec's workers, and
 *     one that runs the codec behind a streaming writer or reader). They
 *     block every signal. Callbacks given to a streaming writer or reader
 *     are called from such a thread, never from two at once.
 */
#ifndef MIRT_MIRT_H
#define MIRT_MIRT_H

#include <stddef.h>
#include <stdint.h>

#include "mirt/version.h"

#ifdef __cplusplus
extern "C" {
#endif

#if defined(MIRT_BUILDING_LIBRARY)
#define MIRT_API __attribute__((visibility("default")))
#else
#define MIRT_API
#endif

/* ---- Versions ---------------------------------------------------------- */

/* The version of this header, packed as major * 65536 + minor * 256 +
 * patch. The shared library's soname carries the interface's major number
 * (libmirt.so.0): functions are only ever added within it. */
#define MIRT_VERSION_NUMBER \
  ((MR_VERSION_MAJOR << 16) | (MR_VERSION_MINOR << 8) | MR_VERSION_PATCH)

/* The library's packed version (compare with MIRT_VERSION_NUMBER) and its
 * text ("0.8.42"). The text is static. */
MIRT_API uint32_t mirt_version_number(void);
MIRT_API const char *mirt_version_string(void);

/* ---- Errors ------------------------------------------------------------ */

typedef enum mirt_status {
  MIRT_OK = 0,
  MIRT_ERROR_ARGUMENT = -1,    /* a null pointer, a bad mode or size */
  MIRT_ERROR_MEMORY = -2,      /* out of memory */
  MIRT_ERROR_MEMORY_LIMIT = -3,/* the data needs more memory than the limit */
  MIRT_ERROR_IO = -4,          /* a read, write, seek or open failed */
  MIRT_ERROR_FORMAT = -5,      /* the input is not a mirt container */
  MIRT_ERROR_CORRUPT = -6,     /* the container is damaged or cut short */
  MIRT_ERROR_CHECKSUM = -7,    /* the container's checksums do not match */
  MIRT_ERROR_UNAVAILABLE = -8, /* a block needs an algorithm or cipher
                                  that is not loaded */
  MIRT_ERROR_CONFIG = -9,      /* a configuration file or preset cannot be
                                  read */
  MIRT_ERROR_SPACE = -10,      /* the output buffer is too small */
  MIRT_ERROR_UNSUPPORTED = -11,/* not possible on this input: seeking a
                                  pipe, positioned reads of an encrypted
                                  container */
  MIRT_ERROR_STATE = -12,      /* a writer or reader that already failed or
                                  finished */
  MIRT_ERROR_CALLBACK = -13    /* a read, write or seek callback failed */
} mirt_status;

/* The message of the last failure of a mirt_ call on the calling thread
 * ("corrupt file (truncated block)", "write: No space left on device"),
 * without a program name or a newline. Empty when the last call
 * succeeded. Owned by the library; valid until the calling thread's next
 * mirt_ call. Never null. */
MIRT_API const char *mirt_last_error(void);

/* A fixed English name for a status ("corrupt data"). Static; never null. */
MIRT_API const char *mirt_status_name(int status);

/* ---- Contexts ---------------------------------------------------------- */

/* mirt_options.flags */
#define MIRT_NO_INSTALLED_CONFIG 1u /* do not read the installed
                                       configuration file first */
#define MIRT_NO_CHECKSUMS 2u        /* write no container checksums and do
                                       not check them when reading */

typedef struct mirt_options {
  /* sizeof(mirt_options) as the caller knows it: fields are only ever
   * added at the end. mirt_options_init sets it. */
  uint32_t struct_size;
  uint32_t flags;
  /* NULL: the installed configuration alone (the system file the `mirt`
   * program reads; not the user's ~/.mirt/mirt.conf). Otherwise a preset
   * name ("fast", "max": the installed presets) or the path of a
   * configuration file (anything with a '/'), applied after the installed
   * configuration, as `mirt -m` does. Directives that only concern the
   * program (colours, prompts, upgrades, the network) are ignored. */
  const char *config;
  /* Threads of codec work per call: 0 takes the configuration's `threads`,
   * else one per online processor. Output never depends on it. */
  uint32_t threads;
  /* Block size for compression: 0 lets the configuration's rules choose
   * per input (blocksize, blocksize_limit, pipe_blocksize). At most
   * 2147483646. Reading takes the block size from each container. */
  uint32_t block_size;
  /* Most memory that decoding may take for blocks, per call: 0 takes the
   * configuration's limit, or the built-in one. Containers whose blocks
   * need more fail with MIRT_ERROR_MEMORY_LIMIT. */
  uint64_t memory_limit;
} mirt_options;

/* Defaults: everything 0, struct_size set. */
MIRT_API void mirt_options_init(mirt_options *options);

typedef struct mirt_context mirt_context;

/* Makes a context from `options` (NULL: all defaults): reads the
 * configuration, loads the plugins it names (once per process: a plugin
 * already loaded by any context is not loaded again) and keeps the
 * settings. On success *out owns a new context, freed with
 * mirt_context_free. Errors: MIRT_ERROR_ARGUMENT, MIRT_ERROR_CONFIG (the
 * named preset or file cannot be read; a missing installed configuration is
 * no error), MIRT_ERROR_MEMORY. A plugin that fails to load is left out, as
 * the program does. Thread-safe. */
MIRT_API int mirt_context_create(const mirt_options *options, mirt_context **out);

/* Frees a context (NULL is ignored). Writers, readers and indexes made
 * from it must be freed first. Plugins stay loaded until the process ends. */
MIRT_API void mirt_context_free(mirt_context *context);

/* The block size the context chooses for an input of `plain_size` bytes
 * (0: of unknown size, as from a pipe). */
MIRT_API uint32_t mirt_context_block_size(const mirt_context *context, uint64_t plain_size);

/* ---- Buffers ----------------------------------------------------------- */

/* The largest container mirt_compress can make from `plain_size` bytes
 * with this context. */
MIRT_API uint64_t mirt_compress_bound(const mirt_context *context, uint64_t plain_size);

/* Compresses `src_size` bytes of `src` into one container in `dst`
 * (`dst_capacity` bytes; mirt_compress_bound is always enough). Returns the
 * container's length, or MIRT_ERROR_SPACE when it does not fit (nothing
 * useful is in `dst` then), MIRT_ERROR_MEMORY, MIRT_ERROR_ARGUMENT. The
 * container holds no file name. Thread-safe: any number of calls may share
 * one context. */
MIRT_API int64_t mirt_compress(const mirt_context *context, const void *src, size_t src_size,
                               void *dst, size_t dst_capacity);

/* The plain size of the containers in `src` (one, or several one after
 * another), read from their headers and block records without decoding.
 * MIRT_ERROR_FORMAT when `src` is not a container, MIRT_ERROR_CORRUPT when
 * its structure is damaged. */
MIRT_API int mirt_decompressed_size(const void *src, size_t src_size, uint64_t *size);

/* Expands the containers in `src` (one, or several one after another)
 * into `dst` and checks their checksums. Returns the plain length, or
 * MIRT_ERROR_SPACE, MIRT_ERROR_FORMAT, MIRT_ERROR_CORRUPT,
 * MIRT_ERROR_CHECKSUM, MIRT_ERROR_UNAVAILABLE, MIRT_ERROR_MEMORY_LIMIT,
 * MIRT_ERROR_MEMORY. On failure the contents of `dst` are unspecified.
 * Thread-safe. */
MIRT_API int64_t mirt_decompress(const mirt_context *context, const void *src, size_t src_size,
                                 void *dst, size_t dst_capacity);

/* ---- Callbacks --------------------------------------------------------- */

/* Reads up to `size` bytes into `buffer`: the count read, 0 at the end of
 * the input, negative on failure. */
typedef int64_t (*mirt_read_function)(void *opaque, void *buffer, size_t size);
/* Writes all `size` bytes: 0 on success, negative on failure. */
typedef int (*mirt_write_function)(void *opaque, const void *data, size_t size);
/* Moves to byte `offset` from the start of the input: 0, or negative
 * when it cannot. */
typedef int (*mirt_seek_function)(void *opaque, uint64_t offset);
/* The input's length in bytes, or negative when it is not known. */
typedef int64_t (*mirt_length_function)(void *opaque);

/* An input given as callbacks. `read` is required. `seek` and `length`
 * may be null; with both, the input counts as seekable (random access),
 * as a regular file does. */
typedef struct mirt_input {
  mirt_read_function read;
  mirt_seek_function seek;
  mirt_length_function length;
  void *opaque;
} mirt_input;

/* ---- Streaming writer -------------------------------------------------- */

typedef struct mirt_writer mirt_writer;

/* A writer of one container to `fd`, from its current position. The
 * descriptor stays the caller's: it is not closed. When it is a regular
 * file the container gets its size and checksums in its header at the
 * end; to a pipe, socket or terminal it ends with a trailer instead, and
 * holds no checksums (as the program writes to a pipe). The block size
 * comes from the context, for an input of unknown size. */
MIRT_API int mirt_writer_open_fd(const mirt_context *context, int fd, mirt_writer **out);

/* The same, handing the container's bytes to `write` in order (always in
 * the trailer form). */
MIRT_API int mirt_writer_open_callback(const mirt_context *context, mirt_write_function write,
                                       void *opaque, mirt_writer **out);

/* Adds `size` plain bytes. Blocks until the codec has taken them; the
 * codec runs on the library's threads meanwhile. MIRT_OK, or the error
 * that stopped the writer (every later call returns it too). */
MIRT_API int mirt_writer_write(mirt_writer *writer, const void *data, size_t size);

/* Ends the container: the last block, then the header fields or the
 * trailer. MIRT_OK, or the writer's error. The writer still has to be
 * freed. */
MIRT_API int mirt_writer_finish(mirt_writer *writer);

/* Frees a writer (NULL is ignored). A writer not finished is abandoned:
 * what was written so far does not form a valid container. */
MIRT_API void mirt_writer_free(mirt_writer *writer);

/* ---- Streaming reader -------------------------------------------------- */

typedef struct mirt_reader mirt_reader;

/* A reader of the plain bytes of `fd`, from its current position: one or
 * more containers one after another (gzip and bzip2 streams are expanded
 * as the program does). The descriptor stays the caller's. Reading from
 * the start to the end checks every checksum; a failure shows at the read
 * that meets it, so data already returned may precede the error. */
MIRT_API int mirt_reader_open_fd(const mirt_context *context, int fd, mirt_reader **out);

/* The same over callbacks. */
MIRT_API int mirt_reader_open_input(const mirt_context *context, const mirt_input *input,
                                    mirt_reader **out);

/* Reads up to `size` plain bytes: the count read (less than `size` only at
 * the end), 0 at the end, or a negative error. */
MIRT_API int64_t mirt_reader_read(mirt_reader *reader, void *buffer, size_t size);

/* Moves to plain byte `offset` (whence: 0 from the start, 1 from the
 * current position, 2 from the end) and returns the new position. Only
 * for a seekable input (a regular file, or callbacks with seek and length)
 * that holds mirt containers without a cipher: the reader then builds the
 * index (mirt_index_build) and from here on decodes only the blocks the
 * reads need; each block is still checked, the checksums of the whole
 * container no longer are. MIRT_ERROR_UNSUPPORTED otherwise. A position
 * beyond the end is allowed; reads there return 0. */
MIRT_API int64_t mirt_reader_seek(mirt_reader *reader, int64_t offset, int whence);

/* The current plain position. */
MIRT_API int64_t mirt_reader_tell(const mirt_reader *reader);

/* How many blocks this reader has decoded after a seek (for measuring
 * positioned reads; 0 while reading from the start). */
MIRT_API uint64_t mirt_reader_blocks_decoded(const mirt_reader *reader);

/* Frees a reader (NULL is ignored); the descriptor or input is not
 * closed. */
MIRT_API void mirt_reader_free(mirt_reader *reader);

/* ---- Index and positioned reads ---------------------------------------- */

typedef struct mirt_index mirt_index;

/* One block as its record describes it. */
typedef struct mirt_block_info {
  uint64_t plain_offset;  /* where its plain bytes start in the whole input */
  uint64_t plain_length;  /* its plain bytes (the block size but for the
                             last block of a container) */
  uint64_t offset;        /* file offset of its stored bytes */
  uint32_t stored_length; /* stored bytes */
  uint32_t algorithm;     /* algorithm slot that decodes it */
  uint32_t container;     /* which container of the file, from 0 */
  uint32_t block_size;    /* its container's block size */
} mirt_block_info;

/* Lists the blocks of the containers in `fd` (one, or several one after
 * another) by reading the headers and hopping over the block records,
 * without decoding. Uses pread: the descriptor's position is unchanged;
 * it must be seekable. MIRT_ERROR_FORMAT, MIRT_ERROR_CORRUPT (structure
 * damaged or cut short), MIRT_ERROR_UNSUPPORTED (a cipher: blocks cannot be
 * decoded apart), MIRT_ERROR_IO. *out owns the index (immutable;
 * thread-safe). */
MIRT_API int mirt_index_build(int fd, mirt_index **out);

/* The same over callbacks (seek and length required). */
MIRT_API int mirt_index_build_input(const mirt_input *input, mirt_index **out);

MIRT_API void mirt_index_free(mirt_index *index);

/* Plain bytes in all, blocks in all, containers, and the block size of the
 * first container (0 when there is none). */
MIRT_API uint64_t mirt_index_size(const mirt_index *index);
MIRT_API uint64_t mirt_index_block_count(const mirt_index *index);
MIRT_API uint32_t mirt_index_container_count(const mirt_index *index);
MIRT_API uint32_t mirt_index_block_size(const mirt_index *index);

/* Block `block` (0 .. count - 1). MIRT_ERROR_ARGUMENT beyond the end. */
MIRT_API int mirt_index_block(const mirt_index *index, uint64_t block, mirt_block_info *info);

/* The block that holds plain byte `offset`, or the block count when the
 * offset is at or beyond the end. */
MIRT_API uint64_t mirt_index_find(const mirt_index *index, uint64_t offset);

/* Reads up to `size` plain bytes from plain offset `offset` of the file
 * `fd` that `index` describes, decoding only the blocks that cover them
 * (pread: the descriptor's position is unchanged). Returns the count read
 * (less than `size` only at the end, 0 at or beyond it) or a negative
 * error; `blocks_decoded`, when not null, gets how many blocks were
 * decoded. Each block's own check is verified. Thread-safe: several calls
 * may share the context, the index and the descriptor. */
MIRT_API int64_t mirt_index_read(const mirt_context *context, const mirt_index *index, int fd,
                                 void *buffer, size_t size, uint64_t offset,
                                 uint64_t *blocks_decoded);

#ifdef __cplusplus
}
#endif

#endif /* MIRT_MIRT_H */
