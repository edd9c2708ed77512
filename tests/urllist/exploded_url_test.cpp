#include "urllist/exploded_url.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "urllist/cityhash.h"
#include "util/category_set.h"

namespace {

// The parts of a URL in one line: S:scheme D:label P:port /segment Q:query, then E.
std::string describe(const urllist_exploded_url& url) {
  std::string out;
  static const char* const kTags[] = {"S:", "D:", "P:", "/", "Q:", "E"};
  for (const urllist_url_part& part : url.part_span()) {
    if (!out.empty()) out += ' ';
    out += kTags[part.kind];
    if (part.kind != URL_PART_END) out.append(part.text, part.len);
  }
  return out;
}

urllist_exploded_url_ptr explode(std::string_view text, int flags = 0,
                                 category_set* categories = nullptr) {
  return urllist_explode_charset(text, categories, 0, flags, nullptr);
}

std::string parts_of(std::string_view text, int flags = 0) {
  auto url = explode(text, flags);
  return url ? describe(*url) : "invalid";
}

std::string str(const char* text) { return text ? text : "(null)"; }

TEST(Explode, SchemeLessUrlWithPathQueryAndExtension) {
  category_set categories;
  auto url = explode("a.b.Example.test/Path/File.HTML?a=1", 0, &categories);
  ASSERT_TRUE(url);
  EXPECT_EQ(describe(*url), "S:* D:test D:example D:b D:a P:0-65535 /Path /File.HTML Q:a=1 E");
  EXPECT_EQ(url->port, -1);
  EXPECT_EQ(str(url->extension), "HTML");
  EXPECT_EQ(str(url->tld), "test");
  EXPECT_EQ(str(url->scheme), "*");
  EXPECT_EQ(url->scheme_hash, URLLIST_HASH_STAR);
  EXPECT_EQ(url->host_view(), "a.b.Example.test");  // as written
  EXPECT_EQ(url->source_view(), "a.b.Example.test/Path/File.HTML?a=1");
  EXPECT_EQ(url->authority_len, 16u);
  EXPECT_EQ(url->label_count, 4u);
  EXPECT_EQ(url->segment_count, 2u);
  EXPECT_FALSE(url->host_only);
  EXPECT_FALSE(url->is_ip);
  EXPECT_EQ(url->fragment, nullptr);
  ASSERT_NE(url->first_path_part, nullptr);
  EXPECT_EQ(str(url->first_path_part->text), "Path");
  ASSERT_NE(url->query_part, nullptr);
  EXPECT_EQ(url->query_part, &url->parts[url->part_count - 2]);
  EXPECT_TRUE(categories.empty());
  // Every part but the query and end is hashed from its text.
  for (const urllist_url_part& part : url->part_span()) {
    if (part.kind == URL_PART_QUERY || part.kind == URL_PART_END) {
      EXPECT_EQ(part.hash, 0u);
    } else {
      EXPECT_EQ(part.hash, cityhash64(part.text)) << part.text;
      EXPECT_EQ(part.len, std::strlen(part.text));
    }
  }
}

TEST(Explode, PortRules) {
  // A written default port without a path is implied; with a path it is a part of its own.
  EXPECT_EQ(parts_of("http://h.test:80"), "S:http D:test D:h E");
  EXPECT_EQ(parts_of("https://h.test:443"), "S:https D:test D:h E");
  EXPECT_EQ(parts_of("https://h.test:80"), "S:https D:test D:h P:80 E");
  EXPECT_EQ(parts_of("http://h.test:80/x"), "S:http D:test D:h P:80 /x E");
  EXPECT_EQ(parts_of("http://h.test:8080"), "S:http D:test D:h P:8080 E");
  // Default ports come only with a path and a host.
  auto url = explode("http://h.test/x");
  EXPECT_EQ(describe(*url), "S:http D:test D:h P:80 /x E");
  EXPECT_EQ(url->port, 80);
  EXPECT_STREQ(url->default_port_text, "80");
  url = explode("HTTPS://h.test/x");
  EXPECT_EQ(describe(*url), "S:https D:test D:h P:443 /x E");
  EXPECT_EQ(url->port, 443);
  url = explode("ftp://h.test/x");
  EXPECT_EQ(describe(*url), "S:ftp D:test D:h P: /x E");
  EXPECT_EQ(url->port, 0);
  EXPECT_EQ(url->parts[3].hash, cityhash64(""));
  url = explode("*://h.test/x");
  EXPECT_EQ(describe(*url), "S:* D:test D:h P:0-65535 /x E");
  EXPECT_EQ(url->port, -1);
  url = explode("http://h.test/x", EXPLODE_ANY_PORT);
  EXPECT_EQ(describe(*url), "S:http D:test D:h P:0-65535 /x E");
  EXPECT_EQ(url->port, -1);
  EXPECT_EQ(parts_of("http://h.test"), "S:http D:test D:h E");
  EXPECT_EQ(parts_of("h.test?q"), "S:* D:test D:h Q:q E");
  // Written ports: decimal value of the text, whatever it holds.
  url = explode("h.test:abc/x");
  EXPECT_EQ(describe(*url), "S:* D:test D:h P:abc /x E");
  EXPECT_EQ(url->port, 0);
  url = explode("h.test:/x");
  EXPECT_EQ(describe(*url), "S:* D:test D:h P: /x E");
  url = explode("h.test:1:2/x");  // the last ":" wins
  EXPECT_EQ(describe(*url), "S:* D:test D:h P:2 /x E");
  EXPECT_EQ(url->port, 2);
}

TEST(Explode, SchemeDetection) {
  auto url = explode("h.test/redirect?to=http://other.test");
  EXPECT_EQ(describe(*url), "S:* D:test D:h P:0-65535 /redirect Q:to=http://other.test E");
  EXPECT_EQ(parts_of("h.test?to=http://other.test"), "S:* D:test D:h Q:to=http://other.test E");
  url = explode("HTTP://H.Test/A");
  EXPECT_EQ(describe(*url), "S:http D:test D:h P:80 /A E");
  EXPECT_EQ(str(url->scheme), "http");
  EXPECT_EQ(url->scheme_hash, URLLIST_HASH_HTTP);
  EXPECT_EQ(url->host_view(), "H.Test");
  EXPECT_EQ(url->authority_len, 13u);
  // "#" before "://" does not stop the scheme search.
  EXPECT_EQ(parts_of("a#b://h.test"), "S:a#b D:test D:h E");
  EXPECT_EQ(parts_of("://h.test"), "S: D:test D:h E");
  // require_scheme takes the text before the first "://" whatever it holds, and supplies a
  // port part even without a path.
  auto strict = urllist_explode_charset("a/B?c://h.test", nullptr, 1, 0, nullptr);
  ASSERT_TRUE(strict);
  EXPECT_EQ(describe(*strict), "S:a/b?c D:test D:h P: E");
  strict = urllist_explode_charset("http://h.test:80", nullptr, 1, 0, nullptr);
  EXPECT_EQ(describe(*strict), "S:http D:test D:h P:80 E");
  EXPECT_EQ(strict->port, 80);
}

TEST(Explode, UserInfo) {
  auto url = explode("user:pass@h.test/");
  EXPECT_EQ(describe(*url), "S:* D:test D:h E");
  EXPECT_EQ(str(url->userinfo), "user");
  EXPECT_EQ(url->host_view(), "h.test");
  EXPECT_TRUE(url->host_only);
  EXPECT_EQ(url->port, 0);
  url = explode("a@b@h.test:81");
  EXPECT_EQ(str(url->userinfo), "b");
  EXPECT_EQ(describe(*url), "S:* D:test D:h P:81 E");
  EXPECT_EQ(url->host_view(), "h.test");
  url = explode("http://u@h.test/x");
  EXPECT_EQ(str(url->userinfo), "u");
  EXPECT_EQ(describe(*url), "S:http D:test D:h P:80 /x E");
}

TEST(Explode, IpLiterals) {
  category_set categories;
  categories.add(5);
  categories.add(7);
  auto url = explode("[2001:db8::1]:8080/", 0, &categories);
  ASSERT_TRUE(url);
  EXPECT_EQ(describe(*url), "S:* D:2001:db8::1 P:8080 E");
  EXPECT_TRUE(url->is_ip);
  EXPECT_TRUE(url->bracketed);
  EXPECT_FALSE(url->is_private_ip);
  EXPECT_EQ(url->address.family, 10);
  EXPECT_EQ(url->address.addr[0], 0x20);
  EXPECT_EQ(url->address.addr[15], 1);
  EXPECT_EQ(url->port, 8080);
  EXPECT_EQ(url->tld, nullptr);
  EXPECT_EQ(url->host_view(), "2001:db8::1");
  EXPECT_EQ(categories.to_string(), "244");

  categories.add(9);
  url = explode("10.1.2.3", 0, &categories);
  EXPECT_EQ(describe(*url), "S:* D:10.1.2.3 E");
  EXPECT_TRUE(url->is_ip);
  EXPECT_TRUE(url->is_private_ip);
  EXPECT_FALSE(url->bracketed);
  EXPECT_EQ(url->address.family, 2);
  EXPECT_EQ(categories.to_string(), "244");
  EXPECT_EQ(categories.capacity(), 10u);

  // Short forms of the system parser; the label is the text as written.
  struct {
    const char* text;
    const char* address;
    bool is_private;
  } const v4[] = {
      {"127.1", "127.0.0.1", true},         {"2130706433", "127.0.0.1", true},
      {"0X7F.1/x", "127.0.0.1", true},      {"8.8.8.8", "8.8.8.8", false},
      {"172.16.0.1", "172.16.0.1", true},   {"172.31.255.255", "172.31.255.255", true},
      {"172.32.0.1", "172.32.0.1", false},  {"169.254.9.9", "169.254.9.9", true},
      {"192.168.0.1", "192.168.0.1", true}, {"192.169.0.1", "192.169.0.1", false},
      {"11.0.0.1", "11.0.0.1", false},      {"http://10.0.0.1:81/", "10.0.0.1", true},
  };
  for (const auto& c : v4) {
    url = explode(c.text);
    ASSERT_TRUE(url) << c.text;
    EXPECT_TRUE(url->is_ip) << c.text;
    char text[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, url->address.addr, text, sizeof text);
    EXPECT_STREQ(text, c.address) << c.text;
    EXPECT_EQ(url->is_private_ip, c.is_private) << c.text;
  }
  url = explode("0X7F.1/x");
  EXPECT_EQ(describe(*url), "S:* D:0X7F.1 P:0-65535 /x E");

  struct {
    const char* text;
    bool is_private;
  } const v6[] = {
      {"[::1]", true},
      {"[fe80::1]", true},
      {"[febf::1]", true},
      {"[fc00::1]", true},
      {"[fd12::1]", true},
      {"[2001:db8::1]", false},
      {"[::2]", false},
      {"[::ffff:10.0.0.1]", true},
      {"[::ffff:8.8.8.8]", false},
      {"[::ffff:127.0.0.1]", true},
  };
  for (const auto& c : v6) {
    url = explode(c.text);
    ASSERT_TRUE(url) << c.text;
    EXPECT_TRUE(url->is_ip) << c.text;
    EXPECT_EQ(url->address.family, 10) << c.text;
    EXPECT_EQ(url->is_private_ip, c.is_private) << c.text;
  }
  // The literal keeps its case; it is one label.
  EXPECT_EQ(parts_of("[2001:DB8::A]"), "S:* D:2001:DB8::A E");
  // Not literals.
  for (const char* text : {"1.2.3.4.5", "256.1.1.1", "[2001:db8::g]", "a.1.2.3", "1.2.3.x"}) {
    categories.clear();
    url = explode(text, 0, &categories);
    ASSERT_TRUE(url) << text;
    EXPECT_FALSE(url->is_ip) << text;
    EXPECT_TRUE(categories.empty()) << text;
  }
}

TEST(Explode, Brackets) {
  // Characters inside brackets are not interpreted.
  auto url = explode("[a/b?c@d:e]/x");
  EXPECT_EQ(describe(*url), "S:* D:a/b?c@d:e P:0-65535 /x E");
  EXPECT_TRUE(url->bracketed);
  // Without "]" the host runs to the end of the text. The port text shares the bytes of the
  // host, so the cut between the labels ends it too.
  url = explode("h.test:1[x.y/z");
  EXPECT_EQ(describe(*url), "S:* D:y/z D:x P:1[x E");
  EXPECT_FALSE(url->bracketed);
  EXPECT_EQ(url->authority_len, 14u);
}

TEST(Explode, InvalidUrlsLeaveExactly247) {
  category_set categories;
  for (const char* text : {"", "...", "http://.../x", "http:///x", "https://:80/x"}) {
    categories.clear();
    categories.add(1);
    categories.add(244);
    EXPECT_FALSE(explode(text, 0, &categories)) << text;
    EXPECT_EQ(categories.to_string(), "247") << text;
  }
  EXPECT_FALSE(explode("...", 0, nullptr));
  EXPECT_FALSE(explode(std::string_view()));
  // A text that starts with NUL is empty.
  EXPECT_FALSE(explode(std::string_view("\0h.test", 7), 0, &categories));
  EXPECT_EQ(categories.to_string(), "247");
  // With require_scheme a scheme and a host are needed.
  categories.clear();
  EXPECT_FALSE(urllist_explode_charset("h.test/x", &categories, 1, 0, nullptr));
  EXPECT_EQ(categories.to_string(), "247");
  EXPECT_FALSE(urllist_explode_charset("http://", &categories, 1, 0, nullptr));
  // An empty host with "*" or no scheme is a path or query entry.
  EXPECT_EQ(parts_of("*:///x"), "S:* /x E");
  EXPECT_EQ(parts_of("/path/only"), "/path /only E");
  EXPECT_EQ(parts_of("?q=1"), "Q:q=1 E");
  EXPECT_EQ(parts_of("http://"), "S:http E");
}

TEST(Explode, FragmentAndQuery) {
  auto url = explode("h.test#top");
  EXPECT_EQ(describe(*url), "S:* D:test D:h Q:top E");
  EXPECT_EQ(str(url->fragment), "top");
  EXPECT_EQ(url->fragment, url->query_part->text);
  EXPECT_EQ(url->authority_len, 6u);
  url = explode("h.test?a=1#frag");
  EXPECT_EQ(describe(*url), "S:* D:test D:h Q:a=1#frag E");
  EXPECT_EQ(str(url->fragment), "#frag");
  url = explode("h.test?a=1");
  EXPECT_EQ(url->fragment, nullptr);
  url = explode("h.test/p/q#x?y");
  EXPECT_EQ(describe(*url), "S:* D:test D:h P:0-65535 /p /q Q:x?y E");
  EXPECT_EQ(str(url->fragment), "x?y");
  url = explode("h.test/p?a#b");
  EXPECT_EQ(str(url->fragment), "#b");
  EXPECT_EQ(str(url->extension), "(null)");
  url = explode("h.test/?&");
  EXPECT_EQ(describe(*url), "S:* D:test D:h E");
  EXPECT_TRUE(url->host_only);
  EXPECT_EQ(url->query_part, nullptr);
  EXPECT_EQ(url->first_path_part, nullptr);
  url = explode("h.test?");
  EXPECT_EQ(describe(*url), "S:* D:test D:h E");
  EXPECT_EQ(url->authority_len, 7u);  // one past a final "?"
  url = explode("h.test#");
  EXPECT_EQ(describe(*url), "S:* D:test D:h E");
  EXPECT_EQ(url->authority_len, 7u);
  EXPECT_EQ(parts_of("h.test?&?&"), "S:* D:test D:h E");
  EXPECT_EQ(parts_of("h.test?&a"), "S:* D:test D:h Q:&a E");
  // With require_scheme no fragment is recorded.
  url = urllist_explode_charset("http://h.test#top", nullptr, 1, 0, nullptr);
  EXPECT_EQ(url->fragment, nullptr);
  EXPECT_EQ(describe(*url), "S:http D:test D:h P:80 Q:top E");
}

TEST(Explode, LabelsAndSegments) {
  EXPECT_EQ(parts_of("h.test."), "S:* D:test D:h E");
  EXPECT_EQ(parts_of(".h.test"), "S:* D:test D:h E");
  EXPECT_EQ(parts_of("a..b"), "S:* D:b D:a E");
  EXPECT_EQ(parts_of("h.test//a///b/"), "S:* D:test D:h P:0-65535 /a /b E");
  auto url = explode("h.test/");
  EXPECT_TRUE(url->host_only);
  EXPECT_EQ(url->segment_count, 0u);
  struct {
    const char* text;
    const char* extension;
  } const extensions[] = {
      {"h.test/x.tar.gz", "gz"}, {"h.test/a.b/c", "(null)"},       {"h.test/file.", "(null)"},
      {"h.test/a.b/", "b"},      {"h.test/.htaccess", "htaccess"}, {"h.test", "(null)"},
  };
  for (const auto& c : extensions) {
    EXPECT_EQ(str(explode(c.text)->extension), c.extension) << c.text;
  }
}

// Separators and uppercase letters at every offset of long texts: the scans test many bytes
// at once, so a fault at some offset within a block shows here.
TEST(Explode, SeparatorsAtEveryOffset) {
  for (size_t at = 0; at < 40; ++at) {
    std::string host(41, 'x');
    host[at] = 'Q';
    host[40 - at / 2] = '.';
    std::string expected_parts = "S:*";
    std::string lowered = host;
    for (char& c : lowered) c = (c == 'Q') ? 'q' : c;
    std::vector<std::string> labels;
    size_t start = 0;
    for (size_t dot; (dot = lowered.find('.', start)) != std::string::npos; start = dot + 1) {
      labels.push_back(lowered.substr(start, dot - start));
    }
    labels.push_back(lowered.substr(start));
    for (size_t k = labels.size(); k-- > 0;) {
      if (!labels[k].empty()) expected_parts += " D:" + labels[k];
    }
    std::string path = std::string(at, 'p') + "/" + std::string(40 - at, 'P') + "?q";
    expected_parts += " P:0-65535";
    if (at > 0) expected_parts += " /" + std::string(at, 'p');
    expected_parts += " /" + std::string(40 - at, 'P') + " Q:q E";
    EXPECT_EQ(parts_of(host + "/" + path), expected_parts) << at;
    EXPECT_EQ(parts_of(std::string(at, 'a') + "://h/x"),
              (at ? "S:" + std::string(at, 'a') : "S:") + " D:h P: /x E")
        << at;
  }
}

TEST(Explode, LabelLimit) {
  // 1001 labels: the 1000th label keeps the unsplit, unlowered rest.
  std::string host;
  for (int i = 0; i < 1001; ++i) host += (i ? ".L" : "L") + std::to_string(i);
  auto url = explode(host);
  ASSERT_TRUE(url);
  EXPECT_EQ(url->label_count, max_domain_segments);
  EXPECT_EQ(str(url->parts[1].text), "L999.L1000");  // first domain part = last label
  EXPECT_EQ(str(url->parts[1000].text), "l0");
  EXPECT_EQ(url->host_len, host.size());
  // Exactly 1000 labels: the last one is reached by the limit too, and stays as written.
  host.resize(host.rfind('.'));
  url = explode(host);
  EXPECT_EQ(url->label_count, 1000u);
  EXPECT_EQ(str(url->parts[1].text), "L999");
  EXPECT_EQ(str(url->parts[2].text), "l998");
  // 999 labels: all split and lowered.
  host.resize(host.rfind('.'));
  url = explode(host);
  EXPECT_EQ(url->label_count, 999u);
  EXPECT_EQ(str(url->parts[1].text), "l998");
  // A host of only dots: invalid while all labels are empty; past the limit the rest of the
  // dots is one label of its own.
  category_set categories;
  EXPECT_FALSE(explode(std::string(999, '.'), 0, &categories));
  EXPECT_EQ(categories.to_string(), "247");
  url = explode(std::string(2000, '.') + "/x", 0, &categories);
  ASSERT_TRUE(url);
  EXPECT_EQ(url->label_count, 1u);
  EXPECT_EQ(url->parts[1].len, 2000u - 999u);
}

TEST(Explode, SegmentLimit) {
  std::string text = "h.test";
  for (int i = 0; i < 5001; ++i) text += "/s" + std::to_string(i);
  text += "?q=1#f";
  auto url = explode(text);
  ASSERT_TRUE(url);
  EXPECT_EQ(url->segment_count, max_path_segments);
  EXPECT_EQ(url->query_part, nullptr);  // the "?" stays in the last segment
  EXPECT_EQ(url->fragment, nullptr);
  const urllist_url_part& last = url->parts[url->part_count - 2];
  EXPECT_EQ(last.kind, URL_PART_PATH);
  EXPECT_EQ(str(last.text), "s4999/s5000?q=1#f");
  EXPECT_EQ(str(url->extension), "(null)");
  EXPECT_EQ(url->part_count, 1u + 2u + 1u + 5000u + 1u);
  // Empty segments still count towards the limit of splitting.
  text = "h.test" + std::string(6000, '/') + "x";
  url = explode(text);
  ASSERT_TRUE(url);
  EXPECT_EQ(url->segment_count, 1u);
  EXPECT_EQ(url->first_path_part->len, 1001u);  // 1000 slashes and the x
}

TEST(Explode, HugeText) {
  std::string text = "http://h.test/" + std::string(1 << 20, 'a') + "?" + std::string(1000, 'q');
  category_set categories;
  auto url = explode(text, 0, &categories);
  ASSERT_TRUE(url);
  EXPECT_EQ(url->source_len, text.size());
  EXPECT_EQ(url->first_path_part->len, 1u << 20);
  EXPECT_EQ(url->query_part->len, 1000u);
  EXPECT_EQ(url->first_path_part->hash, cityhash64(std::string(1 << 20, 'a')));
  EXPECT_TRUE(categories.empty());
  // A megabyte of dots: past the label limit the rest of the dots is one label.
  url = explode(std::string(1 << 20, '.'), 0, &categories);
  ASSERT_TRUE(url);
  EXPECT_EQ(url->label_count, 1u);
  EXPECT_EQ(url->parts[1].len, (1u << 20) - 999u);
  EXPECT_TRUE(categories.empty());
}

TEST(Explode, NocaseFlagAndText) {
  auto url = explode("EXAMPLE.test/A/B?Q=1", EXPLODE_NOCASE);
  EXPECT_EQ(describe(*url), "S:* D:test D:example P:0-65535 /a /b Q:q=1 E");
  EXPECT_EQ(url->host_view(), "EXAMPLE.test");  // as written
  EXPECT_EQ(url->source_view(), "EXAMPLE.test/A/B?Q=1");

  // Embedded NUL ends the text; the caller's text need not outlive the call.
  std::string owned("Host.Test/Path\0tail", 19);
  url = explode(owned);
  owned.assign(19, 'z');
  EXPECT_EQ(url->source_view(), "Host.Test/Path");
  EXPECT_EQ(url->host_view(), "Host.Test");
  EXPECT_EQ(describe(*url), "S:* D:test D:host P:0-65535 /Path E");
}

TEST(Explode, CaseInsensitiveParts) {
  auto url = explode("http://WWW.Ex.TEST/Dir/File.Htm?A=B");
  ASSERT_EQ(describe(*url), "S:http D:test D:ex D:www P:80 /Dir /File.Htm Q:A=B E");
  EXPECT_EQ(url->nocase_shadow, nullptr);
  // Scheme, domain and port parts (the port's text lives in the record, not the working
  // copy) are lowercase already.
  for (int i : {0, 1, 2, 3, 4}) {
    urllist_url_part& part = url->parts[i];
    EXPECT_EQ(urllist_get_nocase_url(url.get(), &part), part.text);
    EXPECT_EQ(part.nocase_hash, part.hash);
  }
  EXPECT_EQ(url->nocase_shadow, nullptr);
  urllist_url_part& dir = url->parts[5];
  const char* lower = urllist_get_nocase_url(url.get(), &dir);
  ASSERT_NE(lower, nullptr);
  EXPECT_STREQ(lower, "dir");
  EXPECT_EQ(dir.nocase_hash, cityhash64("dir"));
  EXPECT_EQ(dir.hash, cityhash64("Dir"));
  EXPECT_STREQ(dir.text, "Dir");  // the working copy keeps its case
  // The shadow holds the text at the same offset as the working copy.
  EXPECT_EQ(lower - url->nocase_shadow.get(), dir.text - url->working);
  EXPECT_EQ(urllist_get_nocase_url(url.get(), &dir), lower);
  urllist_url_part& file = url->parts[6];
  EXPECT_STREQ(urllist_get_nocase_url(url.get(), &file), "file.htm");
  EXPECT_STREQ(lower, "dir");  // the neighbour is untouched
  EXPECT_EQ(file.nocase_hash, cityhash64("file.htm"));
  EXPECT_STREQ(urllist_get_nocase_url(url.get(), url->query_part), "a=b");
  EXPECT_EQ(urllist_get_nocase_url(url.get(), &url->parts[url->part_count - 1]), nullptr);
  EXPECT_EQ(urllist_part_mutable_text(url.get(), &url->parts[0]), url->working);
  EXPECT_EQ(urllist_part_mutable_text(url.get(), &url->parts[4]), nullptr);  // default port
}

TEST(Explode, HashedEntries) {
  const std::string h = urllist_hash2str(cityhash64("http"));
  auto hashed = [](const char* s) { return urllist_hash2str(cityhash64(s)); };
  // A hashed entry gives the part hashes of the plain URL.
  auto plain = explode("http://www.example.test:8080/A/b");
  std::string text = h + "://" + hashed("www") + "." + hashed("example") + "." + hashed("test") +
                     ":8080/" + hashed("A") + "/" + hashed("b");
  auto url = explode(text, EXPLODE_HASHED);
  ASSERT_TRUE(url);
  ASSERT_EQ(url->part_count, plain->part_count);
  for (uint32_t i = 0; i < url->part_count; ++i) {
    EXPECT_EQ(url->parts[i].kind, plain->parts[i].kind) << i;
    EXPECT_EQ(url->parts[i].hash, plain->parts[i].hash) << i;
  }
  EXPECT_EQ(url->port, 8080);
  EXPECT_EQ(url->scheme_hash, URLLIST_HASH_HTTP);
  // The default port follows the scheme hash; a scheme-less entry keeps the hash of "*".
  url = explode(h + "://" + hashed("h") + "/" + hashed("x"), EXPLODE_HASHED);
  EXPECT_EQ(str(url->parts[2].text), "80");
  EXPECT_EQ(url->parts[2].hash, cityhash64("80"));
  EXPECT_EQ(url->port, 80);
  url = explode(urllist_hash2str(URLLIST_HASH_HTTPS) + "://" + hashed("h") + "/x", EXPLODE_HASHED);
  EXPECT_EQ(str(url->parts[2].text), "443");
  url = explode(hashed("h") + "/" + hashed("x"), EXPLODE_HASHED);
  EXPECT_EQ(url->parts[0].hash, URLLIST_HASH_STAR);
  EXPECT_EQ(str(url->parts[2].text), "0-65535");
  EXPECT_EQ(url->parts[2].hash, cityhash64("0-65535"));
  EXPECT_EQ(url->port, -1);
  EXPECT_EQ(url->parts[3].hash, cityhash64("x"));
  // A port given as hash text is parsed and the port number becomes 0.
  url = explode(hashed("h") + ":" + hashed("81") + "/" + hashed("x"), EXPLODE_HASHED);
  EXPECT_EQ(url->parts[2].hash, cityhash64("81"));
  EXPECT_EQ(url->port, 0);
  // A label that is no hash text keeps the partial value of the parse.
  url = explode("0102zz0000000000.short", EXPLODE_HASHED);
  EXPECT_EQ(url->parts[1].hash, 0u);
  EXPECT_EQ(url->parts[2].hash, 0x0201u);
  // Only the domain parts with EXPLODE_HASHED_DOMAIN.
  url = explode("http://" + hashed("h") + "." + hashed("test") + "/P", EXPLODE_HASHED_DOMAIN);
  EXPECT_EQ(describe(*url).substr(0, 7), "S:http ");
  EXPECT_EQ(url->parts[0].hash, URLLIST_HASH_HTTP);
  EXPECT_EQ(url->parts[1].hash, cityhash64("test"));
  EXPECT_EQ(url->parts[2].hash, cityhash64("h"));
  EXPECT_EQ(url->parts[3].hash, cityhash64("80"));
  EXPECT_EQ(url->parts[4].hash, cityhash64("P"));
}

TEST(Charset, Records) {
  EXPECT_EQ(urllist_init_charset(nullptr), nullptr);
  auto utf8 = urllist_init_charset("UTF-8");
  ASSERT_TRUE(utf8);
  EXPECT_EQ(utf8->flags, 1u);
  EXPECT_EQ(utf8->name, "UTF-8");
  EXPECT_EQ(urllist_init_charset("UTF-8x")->flags, 1u);  // the first five characters decide
  EXPECT_EQ(urllist_init_charset("utf-8")->flags, 3u);
  EXPECT_EQ(urllist_init_charset("ISO-8859-1")->flags, 3u);
  EXPECT_EQ(urllist_init_charset("")->flags, 3u);
  urllist_free_charset(urllist_init_charset("UTF-8").release());
  urllist_free_charset(nullptr);
}

TEST(Charset, InternationalHostNames) {
  auto utf8 = urllist_init_charset("UTF-8");
  auto latin1 = urllist_init_charset("ISO-8859-1");
  auto url = urllist_explode_charset(
      "http://B\xc3\xbc"
      "cher.Test/P",
      nullptr, 0, 0, utf8.get());
  ASSERT_TRUE(url);
  EXPECT_EQ(describe(*url), "S:http D:test D:xn--bcher-kva P:80 /P E");
  EXPECT_EQ(url->host_view(), "xn--bcher-kva.Test");
  EXPECT_EQ(str(url->idn_host), "xn--bcher-kva.Test");
  EXPECT_EQ(str(url->tld), "test");
  EXPECT_EQ(url->authority_len, 19u);  // of the text as given
  // IDN labels are domain parts: lowercase by kind although outside the working copy.
  EXPECT_EQ(urllist_get_nocase_url(url.get(), &url->parts[2]), url->parts[2].text);
  EXPECT_EQ(url->parts[2].nocase_hash, cityhash64("xn--bcher-kva"));
  // The same host written in Latin-1 goes through the conversion to UTF-8 first.
  url = urllist_explode_charset(
      "b\xfc"
      "cher.test",
      nullptr, 0, 0, latin1.get());
  EXPECT_EQ(describe(*url), "S:* D:test D:xn--bcher-kva E");
  // Without a charset the bytes are labels as they are.
  url = urllist_explode_charset(
      "b\xc3\xbc"
      "cher.test",
      nullptr, 0, 0, nullptr);
  EXPECT_EQ(describe(*url),
            "S:* D:test D:b\xc3\xbc"
            "cher E");
  EXPECT_EQ(url->idn_host, nullptr);
  // ASCII hosts and hosts IDNA refuses stay as written.
  url = urllist_explode_charset("Plain.Test", nullptr, 0, 0, utf8.get());
  EXPECT_EQ(describe(*url), "S:* D:test D:plain E");
  EXPECT_EQ(url->idn_host, nullptr);
  url = urllist_explode_charset("\xff\xfe.test", nullptr, 0, 0, utf8.get());  // bad UTF-8
  EXPECT_EQ(describe(*url), "S:* D:test D:\xff\xfe E");
  EXPECT_EQ(url->idn_host, nullptr);
  // IP literals skip the conversion.
  url = urllist_explode_charset("10.0.0.1", nullptr, 0, 0, latin1.get());
  EXPECT_TRUE(url->is_ip);
  EXPECT_EQ(urllist_idntoascii("b\xc3\xbc"
                               "cher",
                               utf8.get()),
            "xn--bcher-kva");
  EXPECT_EQ(urllist_idntoascii("b\xc3\xbc"
                               "cher",
                               nullptr),
            std::nullopt);
  EXPECT_EQ(urllist_idntoascii("plain", latin1.get()), std::nullopt);
}

TEST(ExplodedUrl, MinimalRecordAndAddresses) {
  auto url = urllist_new_urllist_exploded_url("a=1&b#c");
  ASSERT_TRUE(url);
  EXPECT_EQ(url->source_view(), "a=1&b#c");
  EXPECT_EQ(url->source_len, 7u);
  EXPECT_STREQ(url->host, "a=1&b#c");
  EXPECT_EQ(url->part_count, 0u);
  EXPECT_EQ(url->parts, nullptr);
  EXPECT_EQ(url->fragment, nullptr);
  EXPECT_STREQ(url->working, "a=1&b#c");
  EXPECT_NE(url->working, url->source);

  urllist_ip_address v4{2, {192, 168, 1, 2}};
  url = urllist_ip_to_exploded_url(v4, "http");
  ASSERT_TRUE(url);
  EXPECT_EQ(describe(*url), "S:http D:192.168.1.2 E");
  EXPECT_EQ(url->parts[0].hash, URLLIST_HASH_HTTP);
  EXPECT_EQ(url->parts[1].hash, cityhash64("192.168.1.2"));
  EXPECT_TRUE(url->is_ip);
  EXPECT_TRUE(url->host_only);
  EXPECT_TRUE(url->is_private_ip);
  EXPECT_FALSE(url->bracketed);
  EXPECT_EQ(url->host_view(), "192.168.1.2");
  urllist_ip_address v6{10, {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}};
  url = urllist_ip_to_exploded_url(v6, "https");
  EXPECT_EQ(describe(*url), "S:https D:[2001:db8::1] E");
  EXPECT_TRUE(url->bracketed);
  EXPECT_FALSE(url->is_private_ip);
  EXPECT_EQ(url->address.family, 10);
  EXPECT_EQ(urllist_ip_to_exploded_url(urllist_ip_address{7, {}}, "http"), nullptr);
  urllist_free_urllist_exploded_url(nullptr);
}

int released_states = 0;
int dummy_state = 0;
void count_release(urllist_query_state* state) noexcept {
  EXPECT_EQ(static_cast<void*>(state), static_cast<void*>(&dummy_state));
  ++released_states;
}

TEST(ExplodedUrl, LookupCachesGoWithTheRecord) {
  auto url = explode("h.test/Path?q=1");
  url->lowered_text = std::string(200, 'x');  // long enough to live on the heap
  url->digest.emplace();
  (*url->digest)[0] = 20;
  ASSERT_NE(urllist_get_nocase_shadow(url.get()), nullptr);
  EXPECT_EQ(urllist_get_nocase_shadow(url.get()), url->nocase_shadow.get());
  url->query_state = urllist_query_state_ptr(reinterpret_cast<urllist_query_state*>(&dummy_state),
                                             {&count_release});
  url.reset();
  EXPECT_EQ(released_states, 1);
}

TEST(Explode, ThreadsGetTheirOwnScratchTables) {
  const std::vector<std::string> texts = {
      "http://a.b.test/x/y/z?q=1", "B.Test/Long/Path/With.Ext", "[::1]:99/x", "h.test#f",
      std::string(3000, 'a') + ".test/" + std::string(3000, 'b')};
  std::vector<std::string> expected;
  for (const auto& t : texts) expected.push_back(parts_of(t));
  std::vector<int> mismatches(4, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < 300; ++round) {
        size_t i = (round + t) % texts.size();
        if (parts_of(texts[i]) != expected[i]) ++mismatches[t];
      }
    });
  }
  for (auto& th : threads) th.join();
  for (int t = 0; t < 4; ++t) EXPECT_EQ(mismatches[t], 0);
}

}  // namespace
