// Writes a deterministic HTML-like corpus for the scan benchmark: ordinary
// text and http(s) links, with ed2k links on a few percent of the lines, about
// one in eight of them repeated and some in capitals.
//
//   make_corpus OUTPUT SIZE_IN_MIB [--spelled | PATTERN]
//   make_corpus OUTPUT --links COUNT
//
// With --spelled, a fifth of the ed2k links spell the pipe as "%7C" or
// "&#124;", as pages written for browsers do. With PATTERN, the file is
// PATTERN repeated instead: the inputs that would make a naive scan slow
// ("ed2k://" with no terminator, and so on). With --links, the file is COUNT
// distinct links, one per line, as a client's download list holds them.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

class Random {
 public:
  explicit Random(uint64_t seed) : state_(seed) {}
  uint64_t Next() {
    state_ ^= state_ << 13;
    state_ ^= state_ >> 7;
    state_ ^= state_ << 17;
    return state_;
  }
  size_t Below(size_t n) { return static_cast<size_t>(Next() % n); }

 private:
  uint64_t state_;
};

const char* const kWords[] = {
    "der", "die", "das", "und", "file", "download", "release", "version", "2005", "archiv",
    "musik", "video", "neue", "seite", "forum", "beitrag", "antwort", "zitat", "bild", "link",
    "mirror", "server", "quelle", "hash", "grösse", "datum", "04.01.2005", "12:34", "|", "/"};

std::string Words(Random& rng, size_t count) {
  std::string text;
  for (size_t i = 0; i < count; ++i) {
    if (i) text += ' ';
    text += kWords[rng.Below(sizeof kWords / sizeof kWords[0])];
  }
  return text;
}

std::string Hex(Random& rng, size_t digits) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string hex;
  for (size_t i = 0; i < digits; ++i) hex += kDigits[rng.Below(16)];
  return hex;
}

// A new link; `tag`, when given, ends its name before the extension.
std::string NewEd2kLink(Random& rng, const std::string& tag = "") {
  std::string name = Words(rng, 2 + rng.Below(4));
  for (char& c : name) c = c == ' ' ? '.' : c == '|' || c == '/' ? '_' : c;
  if (!tag.empty()) name += "." + tag;
  std::string link = "ed2k://|file|" + name + ".avi|" + std::to_string(rng.Below(2000000000)) +
                     "|" + Hex(rng, 32) + "|/";
  if (rng.Below(16) == 0) {
    for (char& c : link) c = (c >= 'a' && c <= 'z') ? c - 32 : c;
  }
  return link;
}

}  // namespace

int WriteRepeated(std::FILE* out, uint64_t target, const std::string& pattern) {
  std::string block;
  while (block.size() < (1 << 20)) block += pattern;
  for (uint64_t written = 0; written < target;) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(block.size(), target - written));
    std::fwrite(block.data(), 1, n, out);
    written += n;
  }
  return std::fclose(out) == 0 ? 0 : 1;
}

// `link` with every pipe spelled out, half of the time as a browser writes
// it into an address, half as HTML does.
std::string Spelled(const std::string& link, Random& rng) {
  const std::string pipe = rng.Below(2) ? "%7C" : "&#124;";
  std::string spelled;
  for (const char c : link) {
    if (c == '|') {
      spelled += pipe;
    } else {
      spelled += c;
    }
  }
  return spelled;
}

// COUNT distinct links, each line one; a number in each name keeps them
// distinct.
int WriteLinks(std::FILE* out, uint64_t count) {
  Random rng(0x11115eed);
  for (uint64_t i = 0; i < count; ++i) {
    const std::string link = NewEd2kLink(rng, std::to_string(i)) + '\n';
    std::fwrite(link.data(), 1, link.size(), out);
  }
  return std::fclose(out) == 0 ? 0 : 1;
}

int main(int argc, char** argv) {
  if (argc != 3 && argc != 4) {
    std::fprintf(stderr,
                 "usage: make_corpus OUTPUT SIZE_IN_MIB [--spelled | PATTERN]\n"
                 "       make_corpus OUTPUT --links COUNT\n");
    return 2;
  }
  const bool spelled = argc == 4 && std::string(argv[3]) == "--spelled";
  const bool links = argc == 4 && std::string(argv[2]) == "--links";
  std::FILE* out = std::fopen(argv[1], "wb");
  if (!out) {
    std::perror(argv[1]);
    return 1;
  }
  if (links) return WriteLinks(out, std::strtoull(argv[3], nullptr, 10));
  const uint64_t target = std::strtoull(argv[2], nullptr, 10) << 20;
  if (argc == 4 && !spelled) return WriteRepeated(out, target, argv[3]);
  Random rng(0x5eed2005);
  std::vector<std::string> earlier;
  uint64_t written = 0;
  std::string line;
  while (written < target) {
    const size_t kind = rng.Below(100);
    if (kind < 4) {
      std::string link;
      if (!earlier.empty() && rng.Below(8) == 0) {
        link = earlier[rng.Below(earlier.size())];
      } else {
        link = NewEd2kLink(rng);
        earlier.push_back(link);
      }
      if (spelled && rng.Below(5) == 0) link = Spelled(link, rng);
      line = "<a href=\"" + link + "\">" + Words(rng, 3) + "</a><br>\n";
    } else if (kind < 40) {
      line = std::string("<a href=\"") + (rng.Below(2) ? "https" : "http") + "://www.example.org/" +
             Words(rng, 2) + "/" + std::to_string(rng.Below(100000)) + "\">" + Words(rng, 3) +
             "</a> " + Words(rng, 4) + "<br>\n";
    } else {
      line = "<p>" + Words(rng, 6 + rng.Below(10)) + "</p>\n";
    }
    std::fwrite(line.data(), 1, line.size(), out);
    written += line.size();
  }
  return std::fclose(out) == 0 ? 0 : 1;
}
