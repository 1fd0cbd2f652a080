/* A small program that uses the installed libmirt the way a user would:
 * built with `cc prog.c $(pkg-config --cflags --libs mirt)`, given the
 * configuration to use. Prints "ok" and exits 0 when every call did what
 * its header says. */
#include <mirt/mirt.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static int failed(const char *what) {
  printf("%s: %s\n", what, mirt_last_error());
  return 1;
}

/* The algorithm of the first block of a container. */
static int first_algorithm(const char *packed, int64_t length) {
  char path[] = "/tmp/mirt-program-XXXXXX";
  int fd = mkstemp(path);
  mirt_index *index = NULL;
  mirt_block_info first;
  int found = -1;
  unlink(path);
  if (fd >= 0 && write(fd, packed, (size_t)length) == length &&
      mirt_index_build(fd, &index) == MIRT_OK && mirt_index_block(index, 0, &first) == MIRT_OK)
    found = (int)first.algorithm;
  mirt_index_free(index);
  if (fd >= 0) close(fd);
  return found;
}

int main(int argc, char **argv) {
  if (argc < 2 || mirt_version_number() != MIRT_VERSION_NUMBER) return failed("version");
  mirt_options options;
  mirt_options_init(&options);
  options.flags = MIRT_NO_INSTALLED_CONFIG;
  options.config = argv[1];
  options.block_size = 100000;
  mirt_context *context;
  if (mirt_context_create(&options, &context) != MIRT_OK) return failed("context");

  size_t size = 1000000;
  char *plain = malloc(size), *back = malloc(size);
  for (size_t i = 0; i < size; ++i) plain[i] = "mirt library\n"[(i * 7 + i / 997) % 13];
  uint64_t bound = mirt_compress_bound(context, size);
  char *packed = malloc(bound);
  int64_t length = mirt_compress(context, plain, size, packed, bound);
  if (length <= 0 || (size_t)length > size / 4) return failed("compress");
  uint64_t known = 0;
  if (mirt_decompressed_size(packed, (size_t)length, &known) != MIRT_OK || known != size)
    return failed("size");
  if (mirt_decompress(context, packed, (size_t)length, back, size) != (int64_t)size ||
      memcmp(plain, back, size) != 0)
    return failed("decompress");

  char path[] = "/tmp/mirt-program-XXXXXX";
  int fd = mkstemp(path);
  unlink(path);
  if (fd < 0 || write(fd, packed, (size_t)length) != length) return failed("file");
  mirt_index *index;
  if (mirt_index_build(fd, &index) != MIRT_OK || mirt_index_block_count(index) != 10)
    return failed("index");
  uint64_t decoded = 0;
  char part[5000];
  if (mirt_index_read(context, index, fd, part, sizeof part, 598000, &decoded) != sizeof part ||
      memcmp(part, plain + 598000, sizeof part) != 0 || decoded != 2)
    return failed("positioned read");
  mirt_index_free(index);
  close(fd);

  packed[length - 50] ^= 0x20;
  int64_t damaged = mirt_decompress(context, packed, (size_t)length, back, size);
  if (damaged >= 0 || mirt_last_error()[0] == '\0') return failed("damaged input accepted");
  printf("damaged: %s\n", mirt_status_name((int)damaged));
  mirt_context_free(context);

  /* The installed configuration, found beside the library (this program
   * is not in the installation): the algorithm it tried shows. */
  mirt_options_init(&options);
  options.block_size = 100000;
  if (mirt_context_create(&options, &context) != MIRT_OK) return failed("installed context");
  length = mirt_compress(context, plain, size, packed, bound);
  if (length <= 0 || mirt_decompress(context, packed, (size_t)length, back, size) != (int64_t)size ||
      memcmp(plain, back, size) != 0)
    return failed("installed configuration");
  printf("installed: algorithm %d\n", first_algorithm(packed, length));
  mirt_context_free(context);
  free(plain);
  free(back);
  free(packed);
  printf("ok\n");
  return 0;
}
