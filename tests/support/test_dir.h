// Every test runs in a fresh temporary folder of its own, made before the test
// starts and removed after it ends; it is also the current directory while the
// test runs. Only the test's own thread should rely on the current directory.
#pragma once

#include <string>

namespace testsupport {

// The current test's folder, with a trailing backslash.
const std::wstring& TestDir();

}  // namespace testsupport
