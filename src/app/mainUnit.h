#pragma once
// The program's one window: its controls, the two commands' guards and the
// reporting that every command goes through. Every method of it is defined
// in mainUnit.cpp.

#include <QEvent>
#include <QWidget>
#include <string>

class QGroupBox;
class QLabel;
class QLineEdit;
class TButton;
class TCheckBox;
class TImage;
class TLogMemo;
class TPaintPacer;
class TPanel;
class TRzProgressBar;
class TScrollBox;
class TStatusBar;
class TsSkinManager;

class TfrmMain : public QWidget {
    Q_OBJECT
  public:
    explicit TfrmMain(QWidget* parent = nullptr);
    ~TfrmMain() override;

    // Controls, in declaration order.
    TStatusBar* stat1;
    TPanel* pnl1;
    TButton* btn1;
    QGroupBox* grp1;
    QLineEdit* edtUserName;
    TPanel* Panel1;
    TScrollBox* scrlbx;
    TPanel* pnl2;
    TLogMemo* mmo1;
    TImage* img1;
    QLabel* lbl1;
    TCheckBox* chk1;
    TRzProgressBar* sb1;
    TRzProgressBar* sb2;
    TCheckBox* chk2;
    TButton* btn2;
    TImage* img2;
    QLabel* lbl2;
    TsSkinManager* sknmngr1;
    QGroupBox* grp2;
    QLabel* lbl3;
    QLabel* lbl4;

    // Handlers.
    void btn1Click();
    void chk2Click();
    void btn2Click();
    bool FormCloseQuery();
    void lbl4MouseLeave();
    void lbl4Click();

    // Channel "A": the status line; channel "B": a time-stamped log line.
    // Either way pending window events are processed afterwards.
    void Report(const std::string& channel, const std::string& message);
    // Appends a line to the log as it is: no time, no event processing.
    void AppendLogLine(const std::string& line);

    // The view command and the album browser; their steps (the summary, the
    // tiles, the thumbnails) run in catalogue/ over the window's host.
    void LookupAlbums();
    void FreeAlbumTiles();
    void ClearIconCache();

    // The download command; its steps run in download/ over the window's host.
    void DownloadAlbums();

    // The window was closed while a command ran: the command stops at its next
    // event processing.
    bool CloseRequested() const { return FCloseRequested; }

    // Paces the window's paints during a command's event passes.
    TPaintPacer& PaintPacer() { return *FPaintPacer; }
    // The next event pass paints whatever the pace (a new preview).
    void PaintNextPass();

    // The values of this installation.
    static const char* const DefaultAccount;
    static const char* const WebSpaceAddress;

  protected:
    void closeEvent(QCloseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    bool RunCommand(TButton* button, void (TfrmMain::*command)());
    bool IsLbl4Click(const QEvent* event);
    bool FLbl4Pressed = false;

    void CreateControls();
    void LayOut();
    void LoadInitialPreview();
    bool FCloseRequested = false;
    TPaintPacer* FPaintPacer = nullptr;
};

extern TfrmMain* frmMain;
// Processes every pending window event, then returns at once; raises the
// silent EAbort when the window was closed under a running command.
void ProcessPendingEvents();
