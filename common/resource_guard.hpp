// Memory or threads running out in the middle of a run is a failure the
// program reports with its own message and status, never an abort.
#pragma once

#include <cerrno>
#include <cstring>
#include <new>
#include <string>
#include <system_error>

namespace common {

// Runs `work` and returns its status; if memory or threads run out on the
// way, returns `outOfResources(reason)` instead, the reason in the C
// library's words ("Cannot allocate memory", "Resource temporarily
// unavailable").
template <class Work, class Failure>
int guardResources(Work&& work, Failure&& outOfResources) {
  try {
    return work();
  } catch (const std::bad_alloc&) {
    return outOfResources(std::string(std::strerror(ENOMEM)));
  } catch (const std::system_error& e) {
    return outOfResources(e.code().message());
  }
}

}  // namespace common
