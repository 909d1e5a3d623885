#pragma once
// The ordered list of header lines behind every header-shaped thing of the
// HTTP client: raw "Name: value" lines, looked up by name, replaced in place,
// long ones folded into continuation lines on writing.

#include <string>
#include <string_view>
#include <vector>

// Breaks text at blanks and commas outside double quotes so that no line is
// longer than width where that is possible, and at every CR LF it holds;
// breaks are CR LF and one space.
std::string WrapHeaderLine(std::string_view text, int width);

class TIdHeaderList {
  public:
    std::string Separator = ": ";
    bool MatchCase = false;
    bool JoinContinuations = true;
    bool FoldOnWrite = true;
    int FoldWidth = 78;

    int Count() const { return static_cast<int>(FLines.size()); }
    const std::string& operator[](int index) const { return FLines.at(static_cast<size_t>(index)); }
    void Add(std::string line) { FLines.push_back(std::move(line)); }
    void Insert(int index, std::string line);
    void Delete(int index);
    void Put(int index, std::string line) { FLines.at(static_cast<size_t>(index)) = std::move(line); }
    void Clear() { FLines.clear(); }
    // Lines joined with CR LF after each; setting splits at CR LF only.
    std::string Text() const;
    void SetText(std::string_view text);

    std::string NameAt(int index) const;
    std::string ValueAt(int index) const;
    int FindName(std::string_view name) const;
    std::string ValueOf(std::string_view name) const { return ValueAt(FindName(name)); }
    void ExtractAll(std::string_view name, TIdHeaderList* destination) const;
    void SetHeader(std::string_view name, std::string_view value);

  private:
    bool IsContinuation(int index) const;
    void DeleteContinuations(int index);
    std::vector<std::string> FLines;
};
