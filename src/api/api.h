// Shared by the library's entry points: the calling thread's last error,
// and the guard that keeps exceptions inside the library.
#pragma once

#include <cstdint>
#include <new>
#include <stdexcept>
#include <string>

#include "common/diag.h"
#include "mirt/mirt.h"

namespace mirt::api {

// Records `message` as the calling thread's last error; returns `status`.
int fail(int status, const std::string& message);
// Records the messages the codec reported (joined by "; "), with a status
// told from them; `fallback` when they name none of the known failures.
int fail_from(const std::string& messages, int fallback);
// Success: the calling thread's last error becomes empty.
void succeed();

// Runs `body` (returning an int or int64_t status or count); an exception
// becomes MIRT_ERROR_MEMORY, so none crosses the C interface.
template <typename Body>
auto guarded(Body&& body) -> decltype(body()) {
  try {
    return body();
  } catch (const std::bad_alloc&) {
  } catch (const std::length_error&) {
  }
  return fail(MIRT_ERROR_MEMORY, "malloc: Cannot allocate memory");
}

}  // namespace mirt::api
