#include <gtest/gtest.h>

#include "core/archive/entry_path.h"
#include "core/platform/platform.h"

namespace quarn {
namespace {

TEST(CheckEntryPath, RefusesEverythingThatCouldLeaveOrAbuseTheDestination) {
  const std::string refused[] = {
      "", "/a", "a//b", "a/b/", "./a", "a/../b", "..", ".",
      "C:/x", "a:b", "a\\b", "x?.txt", "a\x07" "b", "a\"b", "a*b", "a<b", "a>b", "a|b", "a\tb",
      "CON", "con.txt", "Com1.tar.gz", "lpt5 .x", "NUL/x", "aux", "prn.", "LPT9.tar.gz", "con\u3000.txt", "COM\u00B9.txt", "d/CONIN$",
      "x.", "x ", "x. ", "x./y", "x /y", "x. /y", "dir/name.",
      std::string(32001, 'a'),
  };
  for (const std::string& p : refused) {
    auto result = check_entry_path(p, "dest");
    ASSERT_FALSE(result) << p.substr(0, 40);
    EXPECT_EQ(result.error().kind(), ErrorKind::UnsafePath) << p.substr(0, 40);
    EXPECT_EQ(result.error().detail(), p);
  }
}

TEST(CheckEntryPath, AcceptsOrdinaryAndUnusualButHarmlessNames) {
  const std::string accepted[] = {
      "a/b/c.txt", "\u017E/\u0142.txt", "a\x7F" "b", "CON1", "com10", "xCON", "CONSOLE", "COM0", "x.CON", ".txt",
      ".profile", "a b", "\u202Eevil", std::string(32000, 'a'),
  };
  for (const std::string& p : accepted) {
    auto result = check_entry_path(p, "dest");
    ASSERT_TRUE(result) << p.substr(0, 40);
  }
  // The result is what joining the names as paths gives, whatever the destination's form.
  for (const std::filesystem::path destination : {"dest", "dest/", "", "/"}) {
    EXPECT_EQ(check_entry_path("a/b/c.txt", destination)->native(), (destination / "a" / "b" / "c.txt").native());
    EXPECT_EQ(check_entry_path("\u017C/\u0142.txt", destination)->native(),
              (destination / platform::path_from_utf8("\u017C") / platform::path_from_utf8("\u0142.txt")).native());
  }
}

}  // namespace
}  // namespace quarn
