#pragma once
// Pieces of reporting that do not need a window: the time of day in the
// user's long time format, the error box's text rule, and the boxes.

#include <string>

class QWidget;

// The user's long time format, fixed at start from the locale.
struct TTimeFormat {
    bool TwelveHour = false;
    bool DesignatorFirst = false; // "AM 9:05:00" rather than "9:05:00 AM"
    bool LeadingZero = true;      // "09" rather than "9"
    std::string Separator = ":";
    std::string AmText, PmText; // in the program's code page
};

TTimeFormat LocaleTimeFormat();
// The facts of a strftime time pattern and the locale's designators (UTF-8).
TTimeFormat ParseTimePattern(std::string pattern, const char* am, const char* pm);
std::string FormatTimeOfDay(const TTimeFormat& format, int hour, int minute, int second);
// The current time of day in the format fixed at start.
std::string TimeOfDayText();

// The message as the error box shows it: a "." is added unless the text is
// empty or already ends in "." or a lower character.
std::string ErrorBoxText(const std::string& message);

// Modal boxes owned by the application's window, captioned with its title.
void ShowWarning(const std::string& message);
void ShowErrorBox(const std::string& message);
// For use in a catch block at a handler boundary: shows the exception that is
// being handled in the error box (nothing for the silent EAbort).
void ShowCurrentException();

// The application title, the caption of every box.
extern const char* const ApplicationTitle;
