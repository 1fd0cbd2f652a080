// The calling thread's last error, the names of the statuses, versions.
#include <cerrno>
#include <cstring>

#include "api/api.h"
#include "common/types.h"

namespace mirt::api {
namespace {

thread_local std::string t_last_error;

struct Phrase {
  const char* text;
  int status;
};

// What the codec's messages say, most specific first.
constexpr Phrase kPhrases[] = {
    {"checksum mismatch", MIRT_ERROR_CHECKSUM},
    {"not a compressed file", MIRT_ERROR_FORMAT},
    {"Algorithm unavailble", MIRT_ERROR_UNAVAILABLE},
    {"not available", MIRT_ERROR_UNAVAILABLE},
    {"not loaded", MIRT_ERROR_UNAVAILABLE},
    {"memory limit", MIRT_ERROR_MEMORY_LIMIT},
    {"malloc:", MIRT_ERROR_MEMORY},
    {"corrupt", MIRT_ERROR_CORRUPT},
    {"trailing garbage", MIRT_ERROR_CORRUPT},
    {"0-byte block", MIRT_ERROR_CORRUPT},
    {"read:", MIRT_ERROR_IO},
    {"write:", MIRT_ERROR_IO},
    {"lseek:", MIRT_ERROR_IO},
    {"fstat:", MIRT_ERROR_IO},
};

}  // namespace

int fail(int status, const std::string& message) {
  t_last_error = message;
  return status;
}

int fail_from(const std::string& text, int fallback) {
  for (const Phrase& phrase : kPhrases)
    if (text.find(phrase.text) != std::string::npos)
      return fail(phrase.status, text);
  return fail(fallback, text.empty() ? mirt_status_name(fallback) : text);
}

void succeed() { t_last_error.clear(); }

}  // namespace mirt::api

extern "C" {

MIRT_API uint32_t mirt_version_number(void) { return mirt::kPackedVersion; }

MIRT_API const char* mirt_version_string(void) {
#define MIRT_TEXT(x) #x
#define MIRT_VERSION_TEXT(a, b, c) MIRT_TEXT(a) "." MIRT_TEXT(b) "." MIRT_TEXT(c)
  return MIRT_VERSION_TEXT(MR_VERSION_MAJOR, MR_VERSION_MINOR, MR_VERSION_PATCH);
#undef MIRT_VERSION_TEXT
#undef MIRT_TEXT
}

MIRT_API const char* mirt_last_error(void) { return mirt::api::t_last_error.c_str(); }

MIRT_API const char* mirt_status_name(int status) {
  switch (status) {
    case MIRT_OK: return "success";
    case MIRT_ERROR_ARGUMENT: return "invalid argument";
    case MIRT_ERROR_MEMORY: return "out of memory";
    case MIRT_ERROR_MEMORY_LIMIT: return "memory limit exceeded";
    case MIRT_ERROR_IO: return "input/output error";
    case MIRT_ERROR_FORMAT: return "not a mirt container";
    case MIRT_ERROR_CORRUPT: return "corrupt data";
    case MIRT_ERROR_CHECKSUM: return "checksum mismatch";
    case MIRT_ERROR_UNAVAILABLE: return "algorithm or cipher not available";
    case MIRT_ERROR_CONFIG: return "configuration cannot be read";
    case MIRT_ERROR_SPACE: return "output buffer too small";
    case MIRT_ERROR_UNSUPPORTED: return "not supported on this input";
    case MIRT_ERROR_STATE: return "writer or reader already ended";
    case MIRT_ERROR_CALLBACK: return "callback failed";
    default: return "unknown status";
  }
}

}  // extern "C"
