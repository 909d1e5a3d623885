#pragma once
// curl's -w/--write-out for quillora-fetch: a text written to standard output
// after each URL, with %{http_code} (the last reply's status, 000 when none
// came) and %{size_download} (the body's bytes written) put in, %% for a
// percent sign and \n, \r, \t as curl reads them. Any other %{name} is a bad
// command line here rather than curl's warning: a typo would otherwise go by
// as an empty field in a script's output.

#include <cstdint>
#include <string>

struct TTransferFacts {
    int HttpCode = 0;
    int64_t SizeDownload = 0;
};

class TWriteOut {
  public:
    // Reads the -w text; EConvertError naming the variable it does not know.
    explicit TWriteOut(const std::string& format);
    std::string Expand(const TTransferFacts& facts) const;
    // The variables there are, for the help and the messages.
    static const char* const Variables;

  private:
    std::string FFormat;
};
