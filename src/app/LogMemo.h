#pragma once
// The activity log: a read-only memo that keeps every line it is given for as
// long as the program runs. Lines are kept as the program's own GBK bytes in
// one block, and only the lines in view are laid out (word-wrapped) when the
// memo paints, so a long session costs little more than the text itself.

#include <QAbstractScrollArea>
#include <cstdint>
#include <string>
#include <vector>

class TLogMemo : public QAbstractScrollArea {
    Q_OBJECT
  public:
    explicit TLogMemo(QWidget* parent = nullptr);

    // Appends the text as one line, or as several where it holds line breaks
    // (CR LF, CR or LF), and scrolls so that the end is in view.
    void AppendLine(const std::string& gbk);
    void Clear();
    int LineCount() const { return static_cast<int>(FStarts.size()); }
    std::string Line(int i) const;
    // The whole log as shown, lines joined by "\n".
    QString Text() const;
    // Index of the first line in view.
    int TopLine() const;
    // Shows the log from its first line until the next append.
    void ScrollToTop();

  protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void scrollContentsBy(int dx, int dy) override;

  private:
    void AddOneLine(const char* data, size_t size);
    int WrappedHeight(int line) const;
    void UpdateRange();
    int TextWidth() const;

    std::string FText;             // every line's bytes, back to back
    std::vector<uint32_t> FStarts; // where each line begins in FText
    bool FFollowEnd = true;        // keep the last line in view as lines come
};
