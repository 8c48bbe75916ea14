#include "extract/fetch/download.h"

#ifndef _WIN32
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <csignal>
#endif

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "extract/fetch/transfer_limits.h"
#include "extract/scan_input.h"
#include "gtest/gtest.h"
#include "tests/fake_controls.h"
#include "tests/fetch/local_http_server.h"
#include "tests/temp_dir.h"

namespace varnolt {
namespace {

namespace fs = std::filesystem;

std::string Redirect(const std::string& location) {
  return "HTTP/1.1 302 Found\r\nLocation: " + location +
         "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
}

const std::string kPage = "<a href=\"ed2k://|file|a.iso|1|AA|/\">a</a> ed2k://|file|b.iso|2|BB|/";
const unsigned char kGzipPage[] = {  // "zip ed2k://|file|packed.iso|3|CC|/ end"
    0x1f, 0x8b, 0x08, 0x00, 0x00, 0x00, 0x00, 0x00, 0x02, 0x03, 0xab, 0xca, 0x2c, 0x50, 0x48,
    0x4d, 0x31, 0xca, 0xb6, 0xd2, 0xd7, 0xaf, 0x49, 0xcb, 0xcc, 0x49, 0xad, 0x29, 0x48, 0x4c,
    0xce, 0x4e, 0x4d, 0xd1, 0xcb, 0x2c, 0xce, 0xaf, 0x31, 0xae, 0x71, 0x76, 0xae, 0xd1, 0x57,
    0x48, 0xcd, 0x4b, 0x01, 0x00, 0x29, 0x88, 0x20, 0x27, 0x26, 0x00, 0x00, 0x00};

// 100,000 zero bytes in 132 bytes of gzip: a page that grows on decoding.
const std::string kGzipZeros = std::string(
                                   "\x1f\x8b\x08\0\0\0\0\0\x02\x03\xed\xc1\x31\x01\0\0\0"
                                   "\xc2\xa0\xf5\x4f\x6d\x0d\x0f\xa0",
                                   25) +
                               std::string(96, '\0') +
                               std::string("\x80\x57\x03\x7d\x95\x11\xd4\xa0\x86\x01\0", 11);
// The page-size limit the tests set instead of the real one.
constexpr int64_t kTestPageLimit = 64 << 10;

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Every test runs in a fresh current directory, since "download.htm" is
// relative to it.
class DownloadTest : public ::testing::Test {
 protected:
  DownloadTest()
      : server_({{"/links.htm", Ok(kPage)},
                 {"/other.htm", Ok("ed2k://|file|other|/ page")},
                 {"/Mixed/Case.HTM", Ok(kPage)},
                 {"/moved", Redirect("/links.htm")},
                 {"/moved-on", Redirect("/other.htm")},
                 {"/informational", "HTTP/1.1 102 Processing\r\nContent-Length: 4\r\n\r\nbody"},
                 {"/bad-request", "HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\n\r\n"},
                 {"/gzip", Ok(std::string(std::begin(kGzipPage), std::end(kGzipPage)),
                              "Content-Encoding: gzip\r\n")},
                 {"/loop", Redirect("/loop")},
                 {"/to-file", Redirect("file:///etc/hostname")},
                 {"/truncated", "HTTP/1.1 200 OK\r\nContent-Length: 5000\r\n\r\nonly this"},
                 {"/stall", kSilent},
                 {"/empty", ""},
                 {"/bomb", Ok(kGzipZeros, "Content-Encoding: gzip\r\n")},
                 // Pausing now and then, as a network does.
                 {"/endless", Trickle("HTTP/1.1 200 OK\r\n\r\n", std::string(16 << 10, 'x'), 1)},
                 {"/at-limit", Ok(std::string(kTestPageLimit, 'x'))},
                 {"/over-limit", Ok(std::string(kTestPageLimit + 1, 'x'))},
                 {"/trickle", Trickle("HTTP/1.1 200 OK\r\n\r\nstart ", "ed2k://|file|t|/ ", 20)}}) {
    fs::current_path(temp_.path());
  }
  ~DownloadTest() override { fs::current_path(home_); }
  // Names in the current directory, to catch a temporary file left behind.
  std::vector<std::string> Files() {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(".")) {
      names.push_back(entry.path().filename().string());
    }
    return names;
  }

  TestServer server_;
  const fs::path home_ = fs::current_path();
  TempDir temp_;
  FakeControls ui_;
};

// --- Telling web addresses from file names

TEST(IsWebAddress, SchemeTestFoldsCaseAndTakesHttps) {
  for (const char* address : {"http://x", "HTTP://x", "hTtP://", "https://x", "HTTPS://"}) {
    EXPECT_TRUE(IsWebAddress(address)) << address;
  }
  for (const char* name : {"", "http", "http:/", " http://x", "ftp://x", "https:/", "http:\\\\x",
                           "file:///x", "httpx://", "C:\\http://"}) {
    EXPECT_FALSE(IsWebAddress(name)) << name;
  }
}

TEST_F(DownloadTest, LookalikeFileNamesAreScannedAsFiles) {
  // "ftp://x" and " http://x" name the file x in the folders "ftp:" and " http:".
  for (const char* name : {"ftp://x", " http://x"}) {
    fs::create_directories(fs::path(name).parent_path());
    std::ofstream(name) << " ed2k://|file|local|/";
    ui_ = FakeControls();
    EXPECT_EQ(ScanInput(name, ui_).status, ScanStatus::kCompleted) << name;
    EXPECT_EQ(ui_.log.at(0), std::string("Öffne Datei: ") + name + "...OK");
    EXPECT_EQ(ui_.results, "ed2k://|file|local|/");
  }
  ui_ = FakeControls();
  EXPECT_EQ(ScanInput("http:/", ui_).status, ScanStatus::kOpenFailed);
  EXPECT_EQ(ui_.log.at(0), "Öffne Datei: http:/...");
  EXPECT_EQ(server_.Requests().size(), 0u);
}

// --- Pages that arrive

TEST_F(DownloadTest, PageIsFetchedAndScanned) {
  const ScanResult result = ScanInput(server_.Url("/links.htm"), ui_);
  EXPECT_EQ(result.status, ScanStatus::kCompleted);
  ASSERT_GE(ui_.log.size(), 3u);
  EXPECT_EQ(ui_.log[0], "INTERNET Adresse gefunden");
  EXPECT_EQ(ui_.log[1], "Downloade File...OK!");
  EXPECT_EQ(ui_.log[2], "Öffne Datei: download.htm...OK");
  EXPECT_EQ(ui_.log.back(), "Suche beendet. 2 Links gefunden, 2 Links angezeigt");
  EXPECT_EQ(ui_.results, "ed2k://|file|a.iso|1|AA|/\ned2k://|file|b.iso|2|BB|/");
  EXPECT_EQ(ReadFile("download.htm"), kPage);
  EXPECT_EQ(Files(), std::vector<std::string>{"download.htm"});
}

TEST_F(DownloadTest, ScanReadsThePageThatItsOwnDownloadWrote) {
  // A second run into the same folder puts its page in place between this
  // run's rename and its scan; before, the scan opened the name and read the
  // other run's page.
  FakeControls other_ui;
  ScanStatus other_status = ScanStatus::kOpenFailed;
  InputOptions options;
  options.page_in_place = [&] {
    other_status = ScanInput(server_.Url("/other.htm"), other_ui).status;
  };
  EXPECT_EQ(ScanInput(server_.Url("/links.htm"), ui_, options).status, ScanStatus::kCompleted);
  EXPECT_EQ(ui_.results, "ed2k://|file|a.iso|1|AA|/\ned2k://|file|b.iso|2|BB|/");
  EXPECT_EQ(ui_.log.at(2), "Öffne Datei: download.htm...OK");
#ifdef _WIN32
  // A file that is open cannot be replaced there: the second run fails and
  // says so, while the first keeps its page.
  EXPECT_EQ(other_status, ScanStatus::kDownloadFailed);
  EXPECT_EQ(ReadFile("download.htm"), kPage);
#else
  EXPECT_EQ(other_status, ScanStatus::kCompleted);
  EXPECT_EQ(other_ui.results, "ed2k://|file|other|/");
  EXPECT_EQ(ReadFile("download.htm"), "ed2k://|file|other|/ page");
#endif
}

TEST_F(DownloadTest, AddressIsPassedOnAsTypedWithToolNameAndEncodings) {
  EXPECT_EQ(DownloadPage("HTTP://127.0.0.1:" + server_.Port() + "/Mixed/Case.HTM", ui_).status,
            DownloadStatus::kDownloaded);
  const std::vector<std::string> requests = server_.Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].rfind("GET /Mixed/Case.HTM HTTP/1.1\r\n", 0), 0u) << requests[0];
  EXPECT_NE(requests[0].find("User-Agent: Varnolt/1.0.0\r\n"), std::string::npos);
  EXPECT_NE(requests[0].find("Accept-Encoding: "), std::string::npos);
}

TEST_F(DownloadTest, RedirectIsFollowedAndCompressedPageDecoded) {
  EXPECT_EQ(ScanInput(server_.Url("/moved"), ui_).status, ScanStatus::kCompleted);
  EXPECT_EQ(ui_.ResultLines().size(), 2u);
  EXPECT_EQ(server_.Requests().size(), 2u);

  ui_ = FakeControls();
  EXPECT_EQ(ScanInput(server_.Url("/gzip"), ui_).status, ScanStatus::kCompleted);
  EXPECT_EQ(ui_.results, "ed2k://|file|packed.iso|3|CC|/");
}

// --- Transfers that fail: reported, the old page kept, nothing scanned

TEST_F(DownloadTest, FailedTransferKeepsOldPageAndScansNothing) {
  const std::string old_page = "old page ed2k://|file|stale|/ from an earlier address";
  const std::string refused = "http://127.0.0.1:" + std::to_string(UnusedPort()) + "/";
  const struct {
    std::string address;
    std::string reason;  // empty: any transfer error text
    // The reason on Windows, where the program's own client words every
    // reason; empty: as `reason`.
    std::string windows_reason = {};
    long stall_seconds = 30;
    long max_redirects = 10;
  } cases[] = {
      {server_.Url("/missing"), "HTTP 404"},
      {server_.Url("/bad-request"), "HTTP 400"},  // the least status that fails
      // An interim status, then no reply.
      {server_.Url("/informational"), "", "reply without a status line"},
      {refused, "", "connection refused"},
      {"https" + refused.substr(4), "", "connection refused"},  // fetched, not opened as a file
      // A silent server ends by the stall limit.
      {server_.Url("/stall"), "", "less than 100 bytes per second over 1 seconds", 1},
      {server_.Url("/truncated"), "", "page cut short after 9 of 5000 bytes"},
      {server_.Url("/empty"), "", "empty reply from server"},  // closed before a status line
      {server_.Url("/over-limit"), "page larger than 64 KiB"},
      {server_.Url("/endless"), "page larger than 64 KiB"},
      {server_.Url("/bomb"), "page larger than 64 KiB"},  // counted after decoding
      {server_.Url("/loop"), "", "more than 10 redirects"},
      // One redirect too many, over before a limit could be checked while it runs.
      {server_.Url("/moved-on"), "", "more than 0 redirects", 30, 0},
      // A redirect may not read local files.
      {server_.Url("/to-file"), "", "redirect to another scheme than http or https"},
      // No silent truncation.
      {server_.Url("/links.htm") + std::string(1, '\0') + "x", "", "malformed address"},
      {"http://", ""},
      {server_.Url("/a b\x01"), ""},
      {server_.Url("/" + std::string(200000, 'a')), ""},
  };
  InputOptions options;
  options.fetch.max_page_bytes = kTestPageLimit;
  for (const auto& c : cases) {
    std::ofstream("download.htm", std::ios::binary) << old_page;
    ui_ = FakeControls();
    options.fetch.stall_seconds = c.stall_seconds;
    options.fetch.max_redirects = c.max_redirects;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(ScanInput(c.address, ui_, options).status, ScanStatus::kDownloadFailed) << c.address;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10)) << c.address;
    ASSERT_EQ(ui_.log.size(), 3u) << c.address;
    EXPECT_EQ(ui_.log[0], "INTERNET Adresse gefunden");
    EXPECT_EQ(ui_.log[1], "Downloade File...");
    const std::string prefix = "FEHLER:Download fehlgeschlagen (";
#ifdef _WIN32
    const std::string& reason = c.windows_reason.empty() ? c.reason : c.windows_reason;
#else
    const std::string& reason = c.reason;
#endif
    if (!reason.empty()) {
      EXPECT_EQ(ui_.log[2], prefix + reason + ")");
    } else {
      EXPECT_EQ(ui_.log[2].rfind(prefix, 0), 0u) << ui_.log[2];
      EXPECT_GT(ui_.log[2].size(), prefix.size() + 1) << "no reason given";
    }
    EXPECT_TRUE(ui_.results.empty());
    EXPECT_EQ(ReadFile("download.htm"), old_page) << c.address;
    EXPECT_EQ(Files(), std::vector<std::string>{"download.htm"}) << c.address;
  }
  // A page of exactly the limit is a page.
  EXPECT_EQ(ScanInput(server_.Url("/at-limit"), ui_, options).status, ScanStatus::kCompleted);
  EXPECT_EQ(fs::file_size("download.htm"), static_cast<uintmax_t>(kTestPageLimit));
  // The NUL case must not have fetched the shorter address in front of it.
  for (const std::string& request : server_.Requests()) {
    EXPECT_NE(request.rfind("GET /links.htm ", 0), 0u);
  }
}

// --- Replies that are no page: cut off in the header or the body, malformed

TEST_F(DownloadTest, BrokenReplyIsAFailureThatKeepsTheOldPage) {
  // Each was taken for the page on one platform or the other: the old page
  // was replaced by an empty file or a partial body, and the scan reported
  // success.
  const std::string chunked = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";
  const struct {
    const char* what;
    std::string reply;
    std::string reason;          // empty: libcurl's words
    std::string windows_reason;  // the program's own client's words
  } cases[] = {
      {"header cut after the status line", "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n",
       "reply cut off in its header", "reply cut off in its header"},
      {"404 cut mid-header", "HTTP/1.1 404 Not Found\r\nContent-Len", "reply cut off in its header",
       "reply cut off in its header"},
      {"200 cut mid-header", "HTTP/1.1 200 OK\r\nContent-Len", "reply cut off in its header",
       "reply cut off in its header"},
      {"status line alone", "HTTP/1.1 200 OK\r\n", "reply cut off in its header",
       "reply cut off in its header"},
      {"status line cut", "HTTP/1.1 200 OK", "", "reply cut off in its header"},
      {"chunked header, then a close", chunked, "", "reply cut off in its body"},
      {"bad chunk size", chunked + "zz\r\nhello\r\n0\r\n\r\n", "", "bad chunk size"},
      {"no status line", "ed2k://|file|x|/ and more\n", "", "reply without a status line"},
      {"chunked body cut", chunked + "5\r\nhello\r\n", "", "reply cut off in its body"},
      {"compressed body cut",
       "HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\n\r\n" +
           std::string(std::begin(kGzipPage), std::end(kGzipPage) - 12),
       "", "compressed page cut short"},
      {"header beyond what libcurl takes",
       "HTTP/1.1 200 OK\r\nX-Big: " + std::string(200000, 'a') + "\r\nContent-Length: 2\r\n\r\nhi",
       "header too large", "header too large"},
  };
  const std::string old_page = "old page ed2k://|file|stale|/";
  for (const auto& c : cases) {
#ifdef _WIN32
    const std::string& reason = c.windows_reason;
#else
    const std::string& reason = c.reason;
#endif
    TestServer server({{"/broken", c.reply}});
    std::ofstream("download.htm", std::ios::binary) << old_page;
    ui_ = FakeControls();
    EXPECT_EQ(ScanInput(server.Url("/broken"), ui_).status, ScanStatus::kDownloadFailed) << c.what;
    ASSERT_EQ(ui_.log.size(), 3u) << c.what;
    const std::string prefix = "FEHLER:Download fehlgeschlagen (";
    if (!reason.empty()) {
      EXPECT_EQ(ui_.log[2], prefix + reason + ")") << c.what;
    } else {
      EXPECT_EQ(ui_.log[2].rfind(prefix, 0), 0u) << c.what << ": " << ui_.log[2];
      EXPECT_GT(ui_.log[2].size(), prefix.size() + 1) << c.what << ": no reason given";
      EXPECT_EQ(ui_.log[2].find("memory"), std::string::npos) << c.what << ": " << ui_.log[2];
    }
    EXPECT_EQ(ReadFile("download.htm"), old_page) << c.what;
    EXPECT_EQ(Files(), std::vector<std::string>{"download.htm"}) << c.what;
  }
}

// --- The stall limit: an average over the window, header bytes counted

TEST_F(DownloadTest, BurstsSpacedWithinTheWindowDoNotHoldOffTheStallLimit) {
  // 550 bytes every 5.5 s: below 100 bytes a second over any 6 s without
  // two bursts, yet each burst lifted libcurl's own speed measure, taken
  // over a few seconds, above the limit, and the download ran to its end.
  const std::string burst(550, 'x');
  TestServer server({{"/bursts", Trickle("HTTP/1.1 200 OK\r\n\r\n" + burst, burst, 5500)}});
  FetchOptions options;
  options.stall_seconds = 6;
  // Against a rule that never fires: a stop is a failure of this test.
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(40);
  options.keep_going = [&] { return std::chrono::steady_clock::now() < give_up; };
  EXPECT_EQ(DownloadPage(server.Url("/bursts"), ui_, options).status, DownloadStatus::kFailed);
  EXPECT_EQ(ui_.log, (std::vector<std::string>{
                         "Downloade File...",
                         "FEHLER:Download fehlgeschlagen (less than 100 bytes per second over 6 "
                         "seconds)"}));
  EXPECT_EQ(Files(), std::vector<std::string>{});
}

TEST_F(DownloadTest, SlowHeaderAboveTheRateIsNotCutOff) {
  // A header at 260 bytes a second for twice the window: before, only body
  // bytes counted and the download was cut off when the window ended.
  TestServer server(
      {{"/slow-header",
        SlowReply("HTTP/1.1 200 OK\r\n", "X-Slow: 0123456789012345678901234567890123456789\r\n",
                  200, 20, Ok(kPage).substr(sizeof "HTTP/1.1 200 OK\r\n" - 1))}});
  FetchOptions options;
  options.stall_seconds = 2;
  EXPECT_EQ(DownloadPage(server.Url("/slow-header"), ui_, options).status,
            DownloadStatus::kDownloaded)
      << ui_.log.back();
  EXPECT_EQ(ReadFile("download.htm"), kPage);
}

// The limit is ten redirects: a chain of exactly ten ends on the page, one
// more fails.
TEST_F(DownloadTest, TenRedirectsAreFollowedAndElevenAreNot) {
  std::map<std::string, Route> chain = {{"/hop0", Ok(kPage)}};
  for (int k = 1; k <= 11; ++k) {
    chain.emplace("/hop" + std::to_string(k), Redirect("/hop" + std::to_string(k - 1)));
  }
  TestServer server(std::move(chain));
  EXPECT_EQ(DownloadPage(server.Url("/hop10"), ui_).status, DownloadStatus::kDownloaded);
  EXPECT_EQ(ReadFile("download.htm"), kPage);
  ui_ = FakeControls();
  EXPECT_EQ(DownloadPage(server.Url("/hop11"), ui_).status, DownloadStatus::kFailed);
  // In libcurl's words on Linux ("Maximum (10) redirects followed").
  const std::string& failure = ui_.log.back();
  EXPECT_EQ(failure.rfind("FEHLER:Download fehlgeschlagen (", 0), 0u) << failure;
  EXPECT_NE(failure.find("10"), std::string::npos) << failure;
  EXPECT_NE(failure.find("redirects"), std::string::npos) << failure;
  EXPECT_EQ(ReadFile("download.htm"), kPage);
}

// The server is its own proxy here: a request in proxy form names the whole
// address, which it serves like a path, and a CONNECT names host and port.
TEST_F(DownloadTest, PagesAreFetchedThroughAProxy) {
  TestServer proxy({{"http://pages.invalid:8080/links.htm", Ok(kPage)},
                    {"secure.invalid:443",
                     "HTTP/1.1 407 Proxy Authentication Required\r\n"
                     "Content-Length: 0\r\n\r\n"}});
  FetchOptions options;
  options.proxy = proxy.Url("");
  EXPECT_EQ(DownloadPage("http://pages.invalid:8080/links.htm", ui_, options).status,
            DownloadStatus::kDownloaded)
      << ui_.log.back();
  EXPECT_EQ(ReadFile("download.htm"), kPage);
  ASSERT_EQ(proxy.Requests().size(), 1u);
  EXPECT_NE(proxy.Requests()[0].find("Host: pages.invalid:8080\r\n"), std::string::npos);

  ui_ = FakeControls();
  EXPECT_EQ(DownloadPage("https://secure.invalid/x", ui_, options).status, DownloadStatus::kFailed);
  ASSERT_EQ(proxy.Requests().size(), 2u);
  EXPECT_EQ(proxy.Requests()[1].rfind("CONNECT secure.invalid:443 HTTP/1.1\r\n", 0), 0u);
  EXPECT_NE(ui_.log.back().find("407"), std::string::npos) << ui_.log.back();
  EXPECT_EQ(ReadFile("download.htm"), kPage);
}

#ifdef _WIN32
// The proxy the user set by hand in the Internet settings, as the system
// keeps it; the user's own settings are put back afterwards.
class SavedProxySettings {
 public:
  SavedProxySettings() {
    RegCreateKeyExW(HKEY_CURRENT_USER, kKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key_,
                    nullptr);
    DWORD size = 0;
    had_ = RegQueryValueExW(key_, kValue, nullptr, nullptr, nullptr, &size) == ERROR_SUCCESS;
    saved_.resize(size);
    if (had_) RegQueryValueExW(key_, kValue, nullptr, nullptr, saved_.data(), &size);
  }
  ~SavedProxySettings() {
    if (had_) {
      RegSetValueExW(key_, kValue, 0, REG_BINARY, saved_.data(), static_cast<DWORD>(saved_.size()));
    } else {
      RegDeleteValueW(key_, kValue);
    }
    RegCloseKey(key_);
  }
  // A proxy for every scheme, and the hosts reached without it.
  void Set(const std::string& proxy, const std::string& bypass) {
    std::vector<BYTE> blob;
    auto add_number = [&](DWORD n) {
      for (int k = 0; k < 4; ++k) blob.push_back(static_cast<BYTE>(n >> (8 * k)));
    };
    auto add_text = [&](const std::string& text) {
      add_number(static_cast<DWORD>(text.size()));
      blob.insert(blob.end(), text.begin(), text.end());
    };
    add_number(0x46);  // the layout's version
    add_number(1);     // a change counter
    add_number(0x3);   // direct, and through the proxy
    add_text(proxy);
    add_text(bypass);
    add_text("");  // no auto-configuration script
    for (int k = 0; k < 8; ++k) add_number(0);
    RegSetValueExW(key_, kValue, 0, REG_BINARY, blob.data(), static_cast<DWORD>(blob.size()));
  }

 private:
  static constexpr const wchar_t* kKey =
      L"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings\\Connections";
  static constexpr const wchar_t* kValue = L"DefaultConnectionSettings";
  HKEY key_ = nullptr;
  bool had_ = false;
  std::vector<BYTE> saved_;
};

TEST_F(DownloadTest, TheUsersProxySettingsAreFollowed) {
  TestServer proxy({{"http://pages.invalid:8080/links.htm", Ok(kPage)}});
  SavedProxySettings settings;
  settings.Set("127.0.0.1:" + proxy.Port(), "<local>;127.0.0.*");
  EXPECT_EQ(DownloadPage("http://pages.invalid:8080/links.htm", ui_).status,
            DownloadStatus::kDownloaded)
      << ui_.log.back();
  EXPECT_EQ(proxy.Requests().size(), 1u);
  // A host on the bypass list is reached directly.
  EXPECT_EQ(DownloadPage(server_.Url("/other.htm"), ui_).status, DownloadStatus::kDownloaded);
  EXPECT_EQ(proxy.Requests().size(), 1u);
  EXPECT_EQ(server_.Requests().size(), 1u);
}
#endif

#ifdef _WIN32
// Against the TLS servers scripts/test-windows.sh starts (see
// tls_test_server.py): one whose authority the test run trusts, one whose
// it does not. Each answers with the request, then 200,000 bytes.
TEST_F(DownloadTest, HttpsPagesAreFetchedFromTrustedServersOnly) {
  const char* trusted = std::getenv("VARNOLT_TLS_PORT");
  const char* rogue = std::getenv("VARNOLT_TLS_ROGUE_PORT");
  if (trusted == nullptr || rogue == nullptr) GTEST_SKIP() << "no TLS test servers";
  const DownloadStatus fetched =
      DownloadPage("https://localhost:" + std::string(trusted) + "/page.htm", ui_).status;
  if (fetched != DownloadStatus::kDownloaded &&
      ui_.log.back().find("certificate not trusted") != std::string::npos) {
    GTEST_SKIP() << "the test authority is not a trusted root here";
  }
  EXPECT_EQ(fetched, DownloadStatus::kDownloaded) << ui_.log.back();
  const std::string page = ReadFile("download.htm");
  EXPECT_EQ(page.rfind("GET /page.htm HTTP/1.1\r\nHost: localhost:", 0), 0u) << page.substr(0, 80);
  EXPECT_GT(page.size(), 200000u);

  ui_ = FakeControls();
  EXPECT_EQ(DownloadPage("https://localhost:" + std::string(rogue) + "/", ui_).status,
            DownloadStatus::kFailed);
  EXPECT_EQ(ui_.log.back(), "FEHLER:Download fehlgeschlagen (certificate not trusted)");
  EXPECT_EQ(ReadFile("download.htm"), page);
}
#endif

TEST_F(DownloadTest, RedirectToAnotherSchemeIsNotFollowed) {
  // The transfer fails whether or not the redirect is followed (nobody
  // answers there); only the trap tells whether it was.
  ConnectionTrap ftp;
  TestServer server({{"/to-ftp", Redirect("ftp://127.0.0.1:" + ftp.Port() + "/")}});
  FetchOptions options;
  options.stall_seconds = 1;
  EXPECT_EQ(DownloadPage(server.Url("/to-ftp"), ui_, options).status, DownloadStatus::kFailed);
  EXPECT_FALSE(ftp.Connected());
  EXPECT_EQ(Files(), std::vector<std::string>{});
}

#ifndef _WIN32  // no device there that fails every write
TEST_F(DownloadTest, PageThatCannotBeWrittenFailsWithTheSystemsReason) {
  // /dev/full opens and then fails every write: a short page only when the
  // file is closed (its bytes wait in the buffer until then), a long one
  // while it arrives.
  if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  for (const char* path : {"/links.htm", "/at-limit"}) {
    const FetchResult result = FetchToFile(server_.Url(path), "/dev/full");
    EXPECT_FALSE(result.ok) << path;
    EXPECT_EQ(result.error, "No space left on device") << path;
  }
}
#endif

// --- Limits judged between the turns of a transfer

TEST(TransferLimits, EndsTransfersThatBreakALimitAndNoOthers) {
  const struct {
    const char* what;
    int connect_ms;      // -1: never connects
    int64_t per_second;  // steady body rate once connected
    int64_t burst;       // bytes arriving at once on connecting
    int redirects;
    int end_ms;  // when the first reason comes; -1: none within two minutes
    std::string reason;
  } cases[] = {
      {"never connects", -1, 0, 0, 0, 15000, "no connection within 15 seconds"},
      {"connects, never answers", 100, 0, 0, 0, 30000,
       "less than 100 bytes per second over 30 seconds"},
      {"slow, at the limit", 0, 100, 0, 0, -1, ""},
      {"just below the limit", 0, 99, 0, 0, 30000,
       "less than 100 bytes per second over 30 seconds"},
      {"a burst, then silence", 500, 0, 1 << 20, 0, 30500,
       "less than 100 bytes per second over 30 seconds"},
      {"eleven redirects", 100, 1000, 0, 11, 100, "more than 10 redirects"},
      {"ten redirects", 100, 1000, 0, 10, -1, ""},
      {"a page beyond the limit", 100, 10000, 0, 0, 250, "page larger than 1000 bytes"},
  };
  for (const auto& c : cases) {
    FetchOptions options;
    if (std::string(c.what) == "a page beyond the limit") options.max_page_bytes = 1000;
    const auto start = TransferLimits::Clock::now();
    TransferLimits limits(options, start);
    int end_ms = -1;
    std::string reason;
    for (int ms = 50; ms <= 120000 && end_ms < 0; ms += 50) {
      TransferProgress progress;
      progress.connected = c.connect_ms >= 0 && ms >= c.connect_ms;
      if (progress.connected) {
        progress.body_bytes = c.burst + c.per_second * (ms - c.connect_ms) / 1000;
        progress.redirects = c.redirects;
      }
      reason = limits.Check(start + std::chrono::milliseconds(ms), progress);
      if (!reason.empty()) end_ms = ms;
    }
    EXPECT_EQ(end_ms, c.end_ms) << c.what;
    EXPECT_EQ(reason, c.reason) << c.what;
  }
}

TEST(TransferLimits, SizesAreNamedInTheLargestUnitThatDividesThem) {
  EXPECT_EQ(PageTooLargeReason(kMaxPageBytes), "page larger than 1 GiB");
  EXPECT_EQ(SizeText(64 << 10), "64 KiB");
  EXPECT_EQ(SizeText(3 << 20), "3 MiB");
  EXPECT_EQ(SizeText(1536), "1536 bytes");
  EXPECT_EQ(SizeText(0), "0 bytes");
}

// --- Transfers stopped on request

TEST_F(DownloadTest, StopRequestEndsTransferAtOnceAndKeepsOldPage) {
  const std::string old_page = "old page ed2k://|file|stale|/";
  // A server that sends nothing gives no occasion to ask but the clock.
  for (const char* path : {"/trickle", "/stall"}) {
    std::ofstream("download.htm", std::ios::binary) << old_page;
    ui_ = FakeControls();
    InputOptions options;
    int turns = 0;
    bool partial_seen = false;
    std::chrono::steady_clock::time_point stopped_at;
    options.fetch.keep_going = [&] {
      if (server_.HeldConnections() == 0) return true;  // not yet mid-transfer
      for (const std::string& name : Files()) partial_seen |= name.ends_with(".part");
      if (++turns < 10) return true;
      stopped_at = std::chrono::steady_clock::now();
      return false;
    };
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(ScanInput(server_.Url(path), ui_, options).status, ScanStatus::kStopped) << path;
    const auto end = std::chrono::steady_clock::now();
    EXPECT_LT(end - start, std::chrono::seconds(10)) << path;
    // A transfer left running when told to stop holds the caller for all the
    // time it is given to wind down.
    EXPECT_LT(end - stopped_at, std::chrono::seconds(2)) << path;
    EXPECT_EQ(ui_.log, (std::vector<std::string>{"INTERNET Adresse gefunden", "Downloade File...",
                                                 "FEHLER:Download abgebrochen"}))
        << path;
    EXPECT_TRUE(ui_.results.empty());
    EXPECT_EQ(ReadFile("download.htm"), old_page) << path;
    EXPECT_EQ(Files(), std::vector<std::string>{"download.htm"}) << path;
    if (std::string(path) == "/trickle") {
      EXPECT_TRUE(partial_seen);
    }
  }
}

// --- Partial files of killed programs

TEST_F(DownloadTest, DownloadRemovesOnlyPartialFilesLeftBehind) {
  const auto two_hours_ago = fs::file_time_type::clock::now() - std::chrono::hours(2);
  auto write = [&](const std::string& name, bool old) {
    std::ofstream(name) << "partial";
    if (old) fs::last_write_time(name, two_hours_ago);
  };
  write("download.htm.0123456789abcdef.part", true);   // left behind: removed
  write("download.htm.fedcba9876543210.part", false);  // may be starting: kept
  write("download.htm.notes.part", true);              // not a name of ours: kept
  write("download.htm.0123456789abcdeg.part", true);   // nor is this, by its last digit
  write("other.htm.0123456789abcdef.part", true);
  std::vector<std::string> kept = {"download.htm.fedcba9876543210.part", "download.htm.notes.part",
                                   "download.htm.0123456789abcdeg.part",
                                   "other.htm.0123456789abcdef.part"};

  // A download still running keeps its partial file, however old it looks.
  std::atomic<bool> stop{false};
  FakeControls running_ui;
  FetchOptions running_options;
  running_options.keep_going = [&] { return !stop; };
  std::thread running([&] { DownloadPage(server_.Url("/stall"), running_ui, running_options); });
#ifndef _WIN32  // the file locks are read from /proc/locks
  const size_t planted = kept.size();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  // Aged only once the running download holds its lock: the file exists a
  // moment before the lock does (a file that young is never stale outside a
  // test). The system's list of locks shows it without taking part in it.
  const auto locked = [](const std::string& name) {
    struct stat info;
    if (::stat(name.c_str(), &info) != 0) return false;
    std::ifstream locks("/proc/locks");
    const std::string inode = ":" + std::to_string(info.st_ino);
    for (std::string kind, field; locks >> field >> kind;) {
      std::string line;
      std::getline(locks, line);
      std::istringstream fields(line);
      for (int k = 0; k < 4; ++k) fields >> field;  // ADVISORY WRITE pid dev:dev:inode
      if (kind == "FLOCK" && field.ends_with(inode)) return true;
    }
    return false;
  };
  while (kept.size() == planted && std::chrono::steady_clock::now() < deadline) {
    for (const std::string& name : Files()) {
      if (name.ends_with(".part") && name.find("0123456789abcdef") == std::string::npos &&
          std::find(kept.begin(), kept.end(), name) == kept.end() && locked(name)) {
        fs::last_write_time(name, two_hours_ago);
        kept.push_back(name);
      }
    }
  }
  // Not ASSERT: the running download must still be stopped and joined.
  EXPECT_EQ(kept.size(), planted + 1) << "the running download wrote no partial file";
#endif

  EXPECT_EQ(DownloadPage(server_.Url("/links.htm"), ui_).status, DownloadStatus::kDownloaded);
  std::vector<std::string> files = Files();
  kept.push_back("download.htm");
  std::sort(files.begin(), files.end());
  std::sort(kept.begin(), kept.end());
  EXPECT_EQ(files, kept);
  stop = true;
  running.join();
}

TEST_F(DownloadTest, PageThatCannotReplaceOldFileIsAFailure) {
  fs::create_directory("download.htm");  // the rename over it must fail
  EXPECT_EQ(DownloadPage(server_.Url("/links.htm"), ui_).status, DownloadStatus::kFailed);
  ASSERT_EQ(ui_.log.size(), 2u);
  EXPECT_EQ(ui_.log[0], "Downloade File...");
  EXPECT_EQ(ui_.log[1].rfind("FEHLER:Download fehlgeschlagen (", 0), 0u) << ui_.log[1];
  EXPECT_EQ(Files(), std::vector<std::string>{"download.htm"});
}

#ifndef _WIN32  // scripts/test-windows.sh runs varnolt-scan.exe

// --- varnolt-scan with a web address

// Runs varnolt-scan on `address` in the current directory; returns its exit
// status and leaves stdout and stderr in the files "out" and "err".
int RunScanCommand(const std::string& address) {
  const std::string command = std::string(VARNOLT_SCAN_PATH) + " '" + address + "' >out 2>err";
  const int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST_F(DownloadTest, ScanCommandFetchesPagesAndFailsOnFailedDownloads) {
  EXPECT_EQ(RunScanCommand(server_.Url("/links.htm")), 0) << ReadFile("err");
  EXPECT_EQ(ReadFile("out"), "ed2k://|file|a.iso|1|AA|/\ned2k://|file|b.iso|2|BB|/\n");
  EXPECT_EQ(ReadFile("download.htm"), kPage);

  EXPECT_EQ(RunScanCommand(server_.Url("/missing")), 1);
  EXPECT_EQ(ReadFile("out"), "");
  EXPECT_NE(ReadFile("err").find("FEHLER:Download fehlgeschlagen (HTTP 404)"), std::string::npos)
      << ReadFile("err");
}

// Starts varnolt-scan on `address` in the current directory with the stop
// signals at their defaults (the test runner may ignore Ctrl-C), stdout and
// stderr to the files "out" and "err". Returns its process id.
pid_t StartScanCommand(const std::string& address) {
  posix_spawn_file_actions_t files;
  posix_spawn_file_actions_init(&files);
  posix_spawn_file_actions_addopen(&files, 1, "out", O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&files, 2, "err", O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGINT);
  sigaddset(&defaults, SIGTERM);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);
  std::string program = VARNOLT_SCAN_PATH;
  std::string argument = address;
  char* argv[] = {program.data(), argument.data(), nullptr};
  pid_t pid = -1;
  EXPECT_EQ(posix_spawn(&pid, program.c_str(), &files, &attributes, argv, environ), 0);
  posix_spawn_file_actions_destroy(&files);
  posix_spawnattr_destroy(&attributes);
  return pid;
}

TEST_F(DownloadTest, ScanCommandRemovesItsPartialFileWhenStoppedBySignal) {
  const std::string old_page = "old page ed2k://|file|stale|/";
  for (const int signal : {SIGINT, SIGTERM}) {
    std::ofstream("download.htm", std::ios::binary) << old_page;
    const pid_t pid = StartScanCommand(server_.Url("/trickle"));
    auto has_partial = [this] {
      for (const std::string& name : Files()) {
        if (name.ends_with(".part")) return true;
      }
      return false;
    };
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!has_partial() && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_TRUE(has_partial()) << "the download never started";
    kill(pid, signal);
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0 && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (kill(pid, 0) == 0) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      ADD_FAILURE() << "varnolt-scan did not end on signal " << signal;
    }
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal) << signal;
    EXPECT_FALSE(has_partial()) << signal;
    EXPECT_EQ(ReadFile("download.htm"), old_page);
    EXPECT_NE(ReadFile("err").find("Downloade File...\nFEHLER:Download abgebrochen\n"),
              std::string::npos)
        << ReadFile("err");
  }
}

#endif  // _WIN32

}  // namespace
}  // namespace varnolt
