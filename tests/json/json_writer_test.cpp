// SPDX-License-Identifier: Apache-2.0
// The JSON writer of both programs (json/json.h): exact output of both
// layouts, string escaping of hostile bytes (UTF-8 through, other bytes
// U+FFFD, control bytes escaped), number forms, write failures, and a parse
// back by python3.
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <string>

#include <gtest/gtest.h>

#include "json.h"

namespace {

void Sample(JsonWriter &w) {
  w.BeginObject();
  w.Key("a");
  w.Int(std::numeric_limits<int64_t>::min());
  w.Key("b");
  w.BeginArray();
  w.Bool(true);
  w.Bool(false);
  w.Null();
  w.Uint(std::numeric_limits<uint64_t>::max());
  w.EndArray();
  w.Key("c");
  w.BeginObject();
  w.EndObject();
  w.Key("d");
  w.BeginArray();
  w.BeginObject();
  w.Key("x");
  w.Double(0.1);
  w.EndObject();
  w.EndArray();
  w.EndObject();
}

std::string Str(std::string_view s) {
  std::string out;
  JsonWriter w(&out, false);
  w.String(s);
  return out;
}

TEST(JsonWriter, CompactAndPrettyLayouts) {
  std::string compact, pretty;
  JsonWriter c(&compact, false), p(&pretty, true);
  Sample(c);
  Sample(p);
  EXPECT_TRUE(c.Finish());
  EXPECT_TRUE(p.Finish());
  EXPECT_EQ(compact,
            "{\"a\":-9223372036854775808,\"b\":[true,false,null,18446744073709551615],"
            "\"c\":{},\"d\":[{\"x\":0.1}]}\n");
  EXPECT_EQ(pretty,
            "{\n  \"a\": -9223372036854775808,\n  \"b\": [\n    true,\n    false,\n    null,\n"
            "    18446744073709551615\n  ],\n  \"c\": {},\n  \"d\": [\n    {\n      \"x\": 0.1\n"
            "    }\n  ]\n}\n");
}

TEST(JsonWriter, OneLineArraysInThePrettyLayout) {
  std::string out;
  JsonWriter w(&out, true);
  w.BeginObject();
  w.Key("n");
  w.BeginArray(true);
  w.Uint(1);
  w.Uint(2);
  w.EndArray();
  w.Key("e");
  w.BeginArray(true);
  w.EndArray();
  w.EndObject();
  EXPECT_TRUE(w.Finish());
  EXPECT_EQ(out, "{\n  \"n\": [1, 2],\n  \"e\": []\n}\n");
}

TEST(JsonWriter, StringEscapes) {
  struct {
    std::string in, out;
  } cases[] = {
      {"/dev/\"loop\"0\\x", R"("/dev/\"loop\"0\\x")"},
      {std::string("a\nb\tc\x01\x1f\x7f", 8), R"("a\u000ab\u0009c\u0001\u001f\u007f")"},
      {std::string("n\0ul", 4), R"("n\u0000ul")"},
      {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80", "\"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80\""},
      {"\x80x\xff", R"("\ufffdx\ufffd")"},                         // stray bytes
      {"\xc0\xaf", R"("\ufffd\ufffd")"},                           // overlong '/'
      {"\xe0\x80\xaf", R"("\ufffd\ufffd\ufffd")"},                 // overlong, 3 bytes
      {"\xed\xa0\x80", R"("\ufffd\ufffd\ufffd")"},                 // surrogate
      {"\xed\xbf\xbf", R"("\ufffd\ufffd\ufffd")"},                 // the last surrogate
      {"\xed\x9f\xbf\xee\x80\x80", "\"\xed\x9f\xbf\xee\x80\x80\""},  // either side of them
      {"\xf4\x90\x80\x80", R"("\ufffd\ufffd\ufffd\ufffd")"},       // above U+10FFFF
      {"ok\xe2\x82", R"("ok\ufffd\ufffd")"},                       // cut short at the end
      {"\xe2\x82" "A", R"("\ufffd\ufffdA")"},                      // cut short by ASCII
  };
  for (const auto &c : cases) EXPECT_EQ(Str(c.in), c.out);
}

TEST(JsonWriter, NumbersAndNonFiniteDoubles) {
  std::string out;
  JsonWriter w(&out, false);
  w.BeginArray();
  for (double d : {0.0, 1.5, 1e300, 123456.789, -2.5e-7, std::nan(""),
                   std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity()})
    w.Double(d);
  w.Int(0);
  w.Int(-1);
  w.EndArray();
  EXPECT_TRUE(w.Finish());
  EXPECT_EQ(out, "[0,1.5,1e+300,123456.789,-2.5e-07,null,null,null,0,-1]\n");
}

TEST(JsonWriter, FinishReportsFailedWritesAndOpenContainers) {
  FILE *full = std::fopen("/dev/full", "w");
  ASSERT_NE(full, nullptr);
  JsonWriter w(full, true);
  Sample(w);
  EXPECT_FALSE(w.Finish());
  std::fclose(full);

  std::string out;
  JsonWriter open(&out, false);
  open.BeginObject();
  open.Key("k");
  EXPECT_FALSE(open.Finish());
  JsonWriter extra(&out, false);
  extra.EndArray();
  EXPECT_FALSE(extra.Finish());
}

// python3's json module parses the file and decodes every escaped string back
// to the original bytes (or U+FFFD for the bytes that are not UTF-8).
TEST(JsonWriter, Python3ReadsHostileStringsBack) {
  if (std::system("command -v python3 >/dev/null") != 0) {
    if (std::getenv("CI") != nullptr) FAIL() << "python3 is missing";
    GTEST_SKIP() << "python3 is missing";
  }
  char path[] = "/var/tmp/vexbench-json-XXXXXX";
  int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  close(fd);
  const std::string hostile[] = {
      "/dev/disk/by-id/\"quoted\" path\\",
      std::string("new\nline\r\x1b[31m\0bell\x07", 20),
      "caf\xc3\xa9\xf0\x9f\x98\x80",
      "bad\xff\xc0\xaf\xed\xa0\x80",
  };
  const char *want[] = {
      "2f6465762f6469736b2f62792d69642f2271756f7465642220706174685c",
      "6e65770a6c696e650d1b5b33316d0062656c6c07",
      "636166c3a9f09f9880",
      "626164efbfbdefbfbdefbfbdefbfbdefbfbdefbfbd",
  };
  FILE *f = std::fopen(path, "w");
  ASSERT_NE(f, nullptr);
  {
    JsonWriter w(f, true);
    w.BeginObject();
    w.Key("devices");
    w.BeginArray();
    for (const auto &s : hostile) w.String(s);
    w.EndArray();
    w.Key("nan");
    w.Double(std::nan(""));
    w.EndObject();
    EXPECT_TRUE(w.Finish());
  }
  std::fclose(f);
  std::string cmd = std::string(
                        "python3 -c '"
                        "import json,sys\n"
                        "d=json.load(open(sys.argv[1]))\n"
                        "assert d[\"nan\"] is None\n"
                        "for s in d[\"devices\"]: print(s.encode(\"utf-8\").hex())' ") +
                    path;
  FILE *p = popen(cmd.c_str(), "r");
  ASSERT_NE(p, nullptr);
  std::string got;
  char buf[512];
  while (std::fgets(buf, sizeof buf, p) != nullptr) got += buf;
  EXPECT_EQ(pclose(p), 0);
  unlink(path);
  std::string expect = std::string(want[0]) + "\n" + want[1] + "\n" + want[2] + "\n" + want[3] + "\n";
  EXPECT_EQ(got, expect);
}

}  // namespace
