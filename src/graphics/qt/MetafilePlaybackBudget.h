#pragma once
// The work budget of playing one metafile. Only the player's own files include this.

#include <cstdint>

namespace MetafileGdi {

// What playing one picture may cost. Nothing in a file bounds it: a record
// of a hundred bytes can ask for a bitmap of 2^24 pixels to be decoded, or
// for the whole destination to be filled through a clip path that every
// record made more complex. Each step is charged what it roughly costs in
// nanoseconds; once the budget is spent, the remaining records are skipped,
// so that no file keeps the window from repainting for more than a moment.
class TPlaybackBudget {
  public:
    static constexpr int64_t Total = int64_t(1) << 28;
    static constexpr int64_t PerRecord = 1000;
    static constexpr int64_t PerDrawing = 16384; // the painter's set-up for one call
    static constexpr int64_t PerDibPixel = 16;
    static constexpr int64_t PerEdgeRow = 64;
    static constexpr int64_t PerClipElement = 500;

    // Charges units; answers whether the work may still be done.
    bool Spend(int64_t units);
    bool Spent() const;

  private:
    int64_t FLeft = Total;
};

} // namespace MetafileGdi
