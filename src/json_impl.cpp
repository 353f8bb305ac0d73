// Boost.JSON, compiled into the program itself (header-only mode), so that
// sanitizer and fuzzer builds instrument it too.
#include <boost/json/src.hpp>
