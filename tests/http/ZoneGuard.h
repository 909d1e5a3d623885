#pragma once
// Pins the local time zone for one test, so that offsets are known.

#include <cstdlib>
#include <ctime>
#include <string>

class TZoneGuard {
  public:
    explicit TZoneGuard(const char* zone) {
        if (const char* old = std::getenv("TZ")) {
            FOld = old;
            FHadOld = true;
        }
        setenv("TZ", zone, 1);
        tzset();
    }
    ~TZoneGuard() {
        if (FHadOld)
            setenv("TZ", FOld.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }
    TZoneGuard(const TZoneGuard&) = delete;
    TZoneGuard& operator=(const TZoneGuard&) = delete;

  private:
    std::string FOld;
    bool FHadOld = false;
};
