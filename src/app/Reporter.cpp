#include "app/Reporter.h"

#include "app/QtText.h"
#include "core/Exceptions.h"
#include "core/Gbk.h"

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <clocale>
#include <ctime>
#include <langinfo.h>
#include <new>

const char* const ApplicationTitle = "Quillora像册下载器";

// Reads the locale's time pattern (strftime form) into the few facts the log
// needs. "%r", "%T" and "%R" are expanded first.
TTimeFormat ParseTimePattern(std::string pattern, const char* am, const char* pm) {
    for (auto [from, to] : {std::pair{"%r", "%I:%M:%S %p"}, {"%T", "%H:%M:%S"}, {"%R", "%H:%M"}}) {
        for (size_t p; (p = pattern.find(from)) != std::string::npos;)
            pattern.replace(p, 2, to);
    }
    TTimeFormat f;
    size_t hour = std::string::npos, minute = pattern.find("%M"), designator = pattern.find("%p");
    for (const char* h : {"%H", "%I", "%k", "%l"}) {
        size_t p = pattern.find(h);
        if (p != std::string::npos) {
            hour = p;
            f.TwelveHour = h[1] == 'I' || h[1] == 'l';
            f.LeadingZero = h[1] == 'H' || h[1] == 'I';
            break;
        }
    }
    if (designator == std::string::npos) designator = pattern.find("%P");
    if (hour != std::string::npos && minute != std::string::npos && minute > hour + 2) {
        std::string between = pattern.substr(hour + 2, minute - hour - 2);
        // A locale that writes "9时05分" has no separator in the classic sense.
        if (between.size() == 1 && static_cast<unsigned char>(between[0]) < 0x80) f.Separator = between;
    }
    if (!f.TwelveHour) return f;
    f.DesignatorFirst = designator != std::string::npos && designator < hour;
    f.AmText = Utf8ToGbk(am ? am : "AM");
    f.PmText = Utf8ToGbk(pm ? pm : "PM");
    if (f.AmText.empty() && f.PmText.empty()) {
        f.AmText = "AM";
        f.PmText = "PM";
    }
    return f;
}

namespace {

std::string TwoDigits(int v) {
    return std::string(1, char('0' + v / 10)) + char('0' + v % 10);
}

} // namespace

TTimeFormat LocaleTimeFormat() {
    std::setlocale(LC_TIME, "");
    return ParseTimePattern(nl_langinfo(T_FMT), nl_langinfo(AM_STR), nl_langinfo(PM_STR));
}

std::string FormatTimeOfDay(const TTimeFormat& format, int hour, int minute, int second) {
    std::string designator;
    int shown = hour;
    if (format.TwelveHour) {
        designator = hour < 12 ? format.AmText : format.PmText;
        shown = hour % 12 == 0 ? 12 : hour % 12;
    }
    std::string text = format.LeadingZero ? TwoDigits(shown) : std::to_string(shown);
    text += format.Separator + TwoDigits(minute) + format.Separator + TwoDigits(second);
    if (!designator.empty())
        text = format.DesignatorFirst ? designator + " " + text : text + " " + designator;
    return text;
}

std::string TimeOfDayText() {
    static const TTimeFormat format = LocaleTimeFormat();
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    return FormatTimeOfDay(format, local.tm_hour, local.tm_min, local.tm_sec);
}

std::string ErrorBoxText(const std::string& message) {
    if (message.empty()) return message;
    size_t last = message.size() - 1;
    bool doubleByte = IsGbkTrailByte(message, last);
    if (doubleByte || static_cast<unsigned char>(message[last]) > '.') return message + ".";
    return message;
}

namespace {

void ShowBox(QMessageBox::Icon icon, const std::string& message) {
    QMessageBox box(icon, QString::fromUtf8(ApplicationTitle), ToQt(message), QMessageBox::NoButton,
                    QApplication::activeWindow());
    box.addButton(QString::fromUtf8("确定"), QMessageBox::AcceptRole);
    box.exec(); // modal: the other windows are disabled until it closes
}

} // namespace

void ShowWarning(const std::string& message) {
    ShowBox(QMessageBox::Warning, message);
}

void ShowErrorBox(const std::string& message) {
    ShowBox(QMessageBox::Critical, ErrorBoxText(message));
}

void ShowCurrentException() {
    try {
        throw;
    } catch (const EAbort&) {
        // the silent kind
    } catch (const Exception& e) {
        ShowErrorBox(e.Message());
    } catch (const std::bad_alloc&) {
        ShowErrorBox("Out of memory");
    } catch (const std::exception& e) {
        ShowErrorBox(e.what());
    } catch (...) {
        ShowErrorBox("Unexpected error");
    }
}
