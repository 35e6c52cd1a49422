#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "errors/fault.hpp"
#include "module/interpreter.hpp"

namespace brambleloft {
namespace {

struct VersionCase {
  const char* text;
  std::pair<unsigned, unsigned> version;  // when fault is empty
  const char* fault;
};
void PrintTo(const VersionCase& c, std::ostream* os) { *os << '"' << c.text << '"'; }

class PythonVersion : public testing::TestWithParam<VersionCase> {};

TEST_P(PythonVersion, IsReadFromTheTextBeforeTheFirstBlankOrFaults) {
  const VersionCase& c = GetParam();
  try {
    EXPECT_EQ(parse_python_version(c.text), c.version);
    EXPECT_STREQ(c.fault, "");
  } catch (const Fault& fault) {
    EXPECT_EQ(fault.message(), c.fault);
    EXPECT_STREQ(fault.what(), c.fault);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Texts, PythonVersion,
    testing::Values(VersionCase{"3.12.1 (main, Jan  1 2024, 00:00:00) [GCC 12.2.0]", {3, 12}, ""},
                    VersionCase{"3.8.0", {3, 8}, ""}, VersionCase{"3.13.0rc1+ (heads/3.13:abc)", {3, 13}, ""},
                    VersionCase{"3.14", {3, 14}, ""}, VersionCase{"", {}, "Python major version missing"},
                    VersionCase{".12.1", {}, "Python major version missing"},
                    VersionCase{"3 .12", {}, "Python minor version missing"},
                    VersionCase{"3.x", {}, "Python minor version missing"},
                    VersionCase{"3..1", {}, "Python minor version missing"},
                    VersionCase{"3a.12", {}, "Python major version not an integer"},
                    VersionCase{"x.12", {}, "Python major version not an integer"}));

}  // namespace
}  // namespace brambleloft
