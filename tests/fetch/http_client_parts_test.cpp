#include <string>

#include "extract/fetch/http_reply.h"
#include "extract/fetch/proxy_choice.h"
#include "extract/fetch/web_address.h"
#include "gtest/gtest.h"

namespace varnolt {
namespace {

struct Read {
  HttpReplyReader::State state;
  std::string body;
  std::string error;
  int status = 0;
};

// Feeds `reply` in pieces of `piece` bytes (the network splits anywhere),
// then the close when `closed`.
Read ReadReply(const std::string& reply, size_t piece, bool closed = true) {
  Read read;
  HttpReplyReader reader([&read](std::string_view bytes) {
    read.body += bytes;
    return std::string();
  });
  for (size_t at = 0; at < reply.size() && reader.state() != HttpReplyReader::State::kFailed;
       at += piece) {
    reader.Take(std::string_view(reply).substr(at, piece));
  }
  if (closed) reader.TakeClose();
  read.state = reader.state();
  read.error = reader.error();
  read.status = reader.status();
  return read;
}

TEST(HttpReplyReader, WholeRepliesInAnyPiecesGiveTheirBody) {
  const struct {
    const char* what;
    std::string reply;
    std::string body;
    bool needs_close;  // the body ends only with the connection
  } cases[] = {
      {"length", "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhelloIGNORED", "hello", false},
      {"chunks with extension and trailer",
       "HTTP/1.1 200 OK\r\ntransfer-encoding: Chunked\r\nContent-Length: 99\r\n\r\n"
       "5;x=1\r\nhello\r\nA\r\n0123456789\r\n0\r\nTrailer: t\r\n\r\n",
       "hello0123456789", false},
      {"empty by length", "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n", "", false},
      // A folded line belongs to the field before it, whatever it says.
      {"until close, bare line ends", "HTTP/1.0 200 OK\nX: y\n Content-Length: 2\n\nrest of page",
       "rest of page", true},
      {"header of the largest size taken",
       "HTTP/1.1 200 OK\r\nX: " + std::string(kMaxReplyHeaderBytes - 24, 'a') + "\r\n\r\nok", "ok",
       true},
      {"interim replies first",
       "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 103 Hints\r\nLink: x\r\n\r\n"
       "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok",
       "ok", false},
      {"empty by status", "HTTP/1.1 204 No Content\r\nContent-Length: 7\r\n\r\n", "", false},
  };
  for (const auto& c : cases) {
    for (size_t piece : {size_t{1}, size_t{3}, size_t{1000}}) {
      const Read open = ReadReply(c.reply, piece, false);
      EXPECT_EQ(open.state,
                c.needs_close ? HttpReplyReader::State::kBody : HttpReplyReader::State::kDone)
          << c.what << " in pieces of " << piece << ": " << open.error;
      const Read read = ReadReply(c.reply, piece);
      EXPECT_EQ(read.state, HttpReplyReader::State::kDone) << c.what << ": " << read.error;
      EXPECT_EQ(read.body, c.body) << c.what << " in pieces of " << piece;
    }
  }
}

TEST(HttpReplyReader, RepliesCutOffOrMalformedFailWithAReason) {
  const std::string chunked = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";
  const struct {
    std::string reply;
    std::string error;
  } cases[] = {
      {"", "empty reply from server"},
      {"HTTP/1.1 200 OK", "reply cut off in its header"},
      {"HTTP/1.1 200 OK\r\nContent-Len", "reply cut off in its header"},
      {"HTTP/1.1 200 OK\r\n\r", "reply cut off in its header"},
      {"HTTP/1.1 100 Continue\r\n\r\n", "reply cut off in its header"},
      {"ed2k://|file|x|/", "reply without a status line"},
      {"HTTX", "reply without a status line"},
      {"HTTP/1.1 20 OK\r\n\r\n", "malformed status line"},
      {"HTTP/1.1 2000 OK\r\n\r\n", "malformed status line"},
      {"HTTP/1.1 200 OK\r\nContent-Length: 9\r\n\r\nabc", "page cut short after 3 of 9 bytes"},
      {"HTTP/1.1 200 OK\r\nContent-Length: 2\r\nContent-Length: 3\r\n\r\nabc",
       "bad Content-Length"},
      {"HTTP/1.1 200 OK\r\nContent-Length: -1\r\n\r\n", "bad Content-Length"},
      {"HTTP/1.1 200 OK\r\nContent-Length: 1234567890123456\r\n\r\n", "bad Content-Length"},
      {"HTTP/1.1 200 OK\r\nTransfer-Encoding: zip, chunked\r\n\r\n",
       "unsupported transfer coding \"zip\""},
      {chunked, "reply cut off in its body"},
      {chunked + "5\r\nhello\r\n", "reply cut off in its body"},
      {chunked + "5\r\nhel", "reply cut off in its body"},
      {chunked + "5\r\nhello\r\n0\r\n", "reply cut off in its body"},  // trailer never ends
      {chunked + "zz\r\nhello\r\n0\r\n\r\n", "bad chunk size"},
      {chunked + "\r\n", "bad chunk size"},
      {chunked + "5\r\nhelloX\r\n0\r\n\r\n", "bad chunk size"},
      {chunked + std::string(5000, '0'), "bad chunk size"},
      {"HTTP/1.1 200 OK\r\nX: " + std::string(kMaxReplyHeaderBytes - 23, 'a') + "\r\n\r\n",
       "header too large"},
  };
  for (const auto& c : cases) {
    for (size_t piece : {size_t{1}, size_t{1} << 20}) {
      const Read read = ReadReply(c.reply, piece);
      EXPECT_EQ(read.state, HttpReplyReader::State::kFailed) << c.reply.substr(0, 80);
      EXPECT_EQ(read.error, c.error) << c.reply.substr(0, 80);
    }
  }
}

TEST(HttpReplyReader, ATunnelBeginsWhereTheProxysHeaderEnds) {
  HttpReplyReader reader = HttpReplyReader::ForTunnel();
  EXPECT_EQ(reader.Take("HTTP/1.1 200 Connection established\r\n\r\n"),
            HttpReplyReader::State::kDone);
}

TEST(HttpReplyReader, OnlyASuccessfulReplysBodyReachesTheSink) {
  const Read missing = ReadReply("HTTP/1.1 404 Not Found\r\nContent-Length: 4\r\n\r\ngone", 1);
  EXPECT_EQ(missing.status, 404);
  EXPECT_EQ(missing.body, "");
  // A sink that refuses ends the reply with its reason.
  HttpReplyReader reader([](std::string_view) { return std::string("disk full"); });
  reader.Take("HTTP/1.1 200 OK\r\n\r\nx");
  EXPECT_EQ(reader.state(), HttpReplyReader::State::kFailed);
  EXPECT_EQ(reader.error(), "disk full");
}

TEST(WebAddress, SplitsWhatTheRequestNeedsAndRefusesTheRest) {
  WebAddress address;
  ASSERT_TRUE(ParseWebAddress("HTTPS://user:pw@Example.org:8443?q=1#top", address));
  EXPECT_TRUE(address.tls);
  EXPECT_EQ(address.host, "Example.org");
  EXPECT_EQ(address.port, "8443");
  EXPECT_EQ(address.target, "/?q=1");
  ASSERT_TRUE(ParseWebAddress("http://[::1]/a/\xC3\xA9.htm", address));
  EXPECT_EQ(address.host, "::1");
  EXPECT_EQ(address.port, "80");
  EXPECT_EQ(address.target, "/a/%C3%A9.htm");
  for (const char* bad :
       {"http://", "http://:80/", "http://h:0/", "http://h:65536/", "http://h:x/", "http://h/a b",
        "http://h/\x01", "http://h\"/", "http://[::1/", "http://[::1]x/", "ftp://h/", "http:/h"}) {
    EXPECT_FALSE(ParseWebAddress(bad, address)) << bad;
  }
}

TEST(WebAddress, RedirectsResolveAgainstTheAddressTheyCameFrom) {
  const std::string base = "http://h:8/dir/page.htm?q";
  const struct {
    const char* location;
    const char* resolved;
  } cases[] = {
      {"https://other/x", "https://other/x"},
      {"//other/x", "http://other/x"},
      {"/root", "http://h:8/root"},
      {"next.htm", "http://h:8/dir/next.htm"},
      {"../up/./a b.htm#f", "http://h:8/up/a%20b.htm"},
      {"../../..", "http://h:8/"},
      {"sub/..", "http://h:8/dir/"},
      {"?r=2", "http://h:8/dir/page.htm?r=2"},
      {"", "http://h:8/dir/page.htm"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(ResolveLocation(base, c.location), c.resolved) << c.location;
  EXPECT_EQ(ResolveLocation("http://h", "a"), "http://h/a");
}

TEST(ChooseProxy, FollowsTheSchemeAndTheBypassList) {
  WebAddress plain;
  WebAddress secure;
  ASSERT_TRUE(ParseWebAddress("http://pages.example.org/x", plain));
  ASSERT_TRUE(ParseWebAddress("https://pages.example.org/x", secure));
  EXPECT_EQ(ChooseProxy("proxy:3128", "", plain), "http://proxy:3128");
  EXPECT_EQ(ChooseProxy("proxy:3128", "", secure), "http://proxy:3128");
  EXPECT_EQ(ChooseProxy("ftp=f:21; https=http://s:443", "", plain), "");
  EXPECT_EQ(ChooseProxy("ftp=f:21; https=http://s:443", "", secure), "http://s:443");
  EXPECT_EQ(ChooseProxy("all:1;http=h:2", "", plain), "http://h:2");
  EXPECT_EQ(ChooseProxy("", "", plain), "");
  for (const char* bypass :
       {"*.EXAMPLE.org", "pages.*", "other;pages.example.org", "*", "pages.example.org*"}) {
    EXPECT_EQ(ChooseProxy("proxy:3128", bypass, plain), "") << bypass;
  }
  for (const char* bypass : {"<local>", "example.org", "*.example", "pages.example.org.x"}) {
    EXPECT_EQ(ChooseProxy("proxy:3128", bypass, plain), "http://proxy:3128") << bypass;
  }
  WebAddress local;
  ASSERT_TRUE(ParseWebAddress("http://intranet/", local));
  EXPECT_EQ(ChooseProxy("proxy:3128", "<local>", local), "");
}

}  // namespace
}  // namespace varnolt
