#include "base/catalog.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct UrlCase {
  const char *base;
  const char *remote;
  const char *local;
  int32_t specificIn;
  int result;
  const char *url;
  int32_t specificOut;
};

}  // namespace

TEST(Catalog, BuildUrl) {
  const std::string longId(134, 'i');
  const std::vector<UrlCase> cases = {
      // Updating from 6 to 7: the specific catalog first, then the generic one.
      {"http://h/c", "7", "6", 1, 1, "http://h/c/7/6/catalog.json", 1},
      {"http://h/c", "7", "6", 0, 1, "http://h/c/7/catalog.json", 0},
      {"http://h/c/", "7", "6", 1, 1, "http://h/c/7/6/catalog.json", 1},
      // The same version in another case, or no local version: generic.
      {"http://h/c", "Beta7", "bETA7", 1, 1, "http://h/c/Beta7/catalog.json", 0},
      {"http://h/c", "7", "", 1, 1, "http://h/c/7/catalog.json", 0},
      {"http://h/c", "7", nullptr, 1, 1, "http://h/c/7/catalog.json", 0},
      // A base naming a document is used as it is, in any case.
      {"http://h/c/LATEST.JSON", "", "6", 1, 1, "http://h/c/LATEST.JSON", 0},
      {"http://h/c/x.json", "7", "6", 1, 1, "http://h/c/x.json", 0},
      // Ids are single path segments.
      {"http://h/c", "7#a?b%c d", "6", 1, 1, "http://h/c/7%23a%3Fb%25c%20d/6/catalog.json", 1},
      {"http://h/c", "1.0~rc_2-x", "", 1, 1, "http://h/c/1.0~rc_2-x/catalog.json", 0},
      // Refused: no remote id, ids that leave their segment.
      {"http://h/c", "", "6", 1, 0, "", 1},
      {"http://h/c", "..", "6", 1, 0, "", 1},
      {"http://h/c", "7", "../6", 1, 0, "", 1},
      {"http://h/c", "a/b", "", 1, 0, "", 1},
      {"http://h/c", longId.c_str(), "", 1, 0, "", 1},
  };
  for (const UrlCase &c : cases) {
    SCOPED_TRACE(std::string(c.base) + " " + c.remote + " " + (c.local ? c.local : "(null)"));
    char url[4096] = "junk";
    int32_t specific = c.specificIn;
    EXPECT_EQ(Catalog_BuildUrl(c.base, c.remote, c.local, &specific, url, sizeof url), c.result);
    EXPECT_STREQ(url, c.url);
    EXPECT_EQ(specific, c.specificOut);
  }
  // A URL that does not fit is refused whole.
  char small[20];
  int32_t specific = 1;
  EXPECT_EQ(Catalog_BuildUrl("http://h/c", "7", "6", &specific, small, sizeof small), 0);
  EXPECT_STREQ(small, "");
}
