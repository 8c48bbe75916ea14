// A stand-in for the window's controls that records what the core did to them.
#pragma once

#include <new>
#include <string>
#include <vector>

#include "extract/boundary/controls.h"

namespace varnolt {

class FakeControls : public Controls {
 public:
  std::string input;
  std::string results;  // the result list's whole text, lines joined by '\n'
  std::vector<std::string> log;
  int selected = -2;  // -2: SelectItem never called
  std::vector<int> progress;
  // When >= 0, the result list runs out of memory once it holds this many
  // lines: AddItem() throws std::bad_alloc, as a real control would.
  int result_lines_until_no_memory = -1;

  std::string GetText(int id) override { return id == kInputField ? input : ""; }
  void SetText(int id, std::string_view text) override {
    if (id == kInputField) input.assign(text);
  }
  void SetProgress(int id, int position) override {
    if (id == kProgressBar) progress.push_back(position);
  }
  void AddItem(int id, std::string_view text) override {
    if (id == kResultList) {
      if (result_lines_until_no_memory == 0) throw std::bad_alloc();
      --result_lines_until_no_memory;
      if (!results.empty()) results += '\n';
      results.append(text);
    } else if (id == kStatusLog) {
      log.emplace_back(text);
    }
  }
  std::string ItemText(int id, int index) override {
    if (id == kStatusLog) return InRange(index) ? log[index] : "";
    if (id == kResultList) {
      const std::vector<std::string> lines = ResultLines();
      return index >= 0 && index < static_cast<int>(lines.size()) ? lines[index] : "";
    }
    return "";
  }
  void ClearItems(int id) override {
    if (id == kResultList) results.clear();
  }
  int CountItems(int id) override { return id == kStatusLog ? static_cast<int>(log.size()) : 0; }
  void RemoveItem(int id, int index) override {
    if (id == kStatusLog && InRange(index)) log.erase(log.begin() + index);
  }
  void SelectItem(int id, int index) override {
    if (id == kStatusLog) selected = index;
  }

  std::vector<std::string> ResultLines() const {
    std::vector<std::string> lines;
    if (results.empty()) return lines;
    size_t start = 0;
    for (size_t end; (end = results.find('\n', start)) != std::string::npos; start = end + 1) {
      lines.push_back(results.substr(start, end - start));
    }
    lines.push_back(results.substr(start));
    return lines;
  }

 private:
  bool InRange(int index) const { return index >= 0 && index < static_cast<int>(log.size()); }
};

}  // namespace varnolt
