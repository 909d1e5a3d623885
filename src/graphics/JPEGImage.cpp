#include "graphics/JPEGImage.h"

#include <algorithm>
#include <chrono>
#include <csetjmp>
#include <cstdio>
#include <cstring>

#include <jpeglib.h>
// jpeglib.h needs stdio first; jerror.h brings the message codes.
#include <jerror.h>

TJPEGDefaults& JPEGDefaults() {
    static TJPEGDefaults defaults;
    return defaults;
}

namespace {

// ---- libjpeg managers. Nothing here may throw: these run inside libjpeg's C
// frames. A fatal error leaves by longjmp to GuardedCall, which is C++ again.

struct TJpegErrorManager {
    jpeg_error_mgr Pub;
    std::jmp_buf Jump;
};

extern "C" void JpegErrorExit(j_common_ptr cinfo) {
    auto* err = reinterpret_cast<TJpegErrorManager*>(cinfo->err);
    std::longjmp(err->Jump, 1);
}

// Warnings and trace messages are of no use to anyone here.
extern "C" void JpegEmitMessage(j_common_ptr, int) {}
extern "C" void JpegOutputMessage(j_common_ptr) {}

// The bytes are already in memory; they are handed over in blocks of 4096.
struct TJpegSource {
    jpeg_source_mgr Pub;
    const uint8_t* Data;
    size_t Size;
    size_t Pos;
    bool StartOfFile;
    JOCTET FakeEoi[2];
};

constexpr size_t JpegBlockSize = 4096;

extern "C" void JpegInitSource(j_decompress_ptr cinfo) {
    reinterpret_cast<TJpegSource*>(cinfo->src)->StartOfFile = true;
}

extern "C" boolean JpegFillInputBuffer(j_decompress_ptr cinfo) {
    auto* src = reinterpret_cast<TJpegSource*>(cinfo->src);
    if (src->Pos >= src->Size) {
        if (src->StartOfFile) ERREXIT(cinfo, JERR_INPUT_EMPTY);
        // A download cut short: pretend the image ends here, so what arrived
        // is shown and libjpeg fills in the rest.
        WARNMS(cinfo, JWRN_JPEG_EOF);
        src->FakeEoi[0] = 0xFF;
        src->FakeEoi[1] = JPEG_EOI;
        src->Pub.next_input_byte = src->FakeEoi;
        src->Pub.bytes_in_buffer = 2;
        return TRUE;
    }
    size_t n = std::min(JpegBlockSize, src->Size - src->Pos);
    src->Pub.next_input_byte = src->Data + src->Pos;
    src->Pub.bytes_in_buffer = n;
    src->Pos += n;
    src->StartOfFile = false;
    return TRUE;
}

extern "C" void JpegSkipInputData(j_decompress_ptr cinfo, long numBytes) {
    auto* src = reinterpret_cast<TJpegSource*>(cinfo->src);
    if (numBytes <= 0) return;
    while (numBytes > static_cast<long>(src->Pub.bytes_in_buffer)) {
        numBytes -= static_cast<long>(src->Pub.bytes_in_buffer);
        JpegFillInputBuffer(cinfo);
    }
    src->Pub.next_input_byte += numBytes;
    src->Pub.bytes_in_buffer -= static_cast<size_t>(numBytes);
}

extern "C" void JpegTermSource(j_decompress_ptr) {}

// A real progressive file has a dozen scans at most; hundreds of them only
// make libjpeg visit every block of the picture again and again. Scans are
// limited in number, and the blocks they visit together: 2^24 blocks is
// what a real progressive file of 130 million pixels visits in its ten
// scans, more than the working memory below lets through.
constexpr int MaxScans = 256;
constexpr uint64_t MaxScanBlocks = uint64_t(1) << 24;

struct TJpegProgress {
    jpeg_progress_mgr Pub;
    int Scan;
    JDIMENSION Row;
    uint64_t BlocksVisited;
};

// The blocks of one row of the current scan (one row of MCUs or, for a scan
// of one component, as many rows of blocks as it has vertical samples).
uint64_t BlocksPerScanRow(const jpeg_decompress_struct& info) {
    uint64_t blocks = 0;
    for (int i = 0; i < info.comps_in_scan && i < MAX_COMPS_IN_SCAN; ++i)
        if (const jpeg_component_info* c = info.cur_comp_info[i])
            blocks += uint64_t(c->width_in_blocks) * uint64_t(std::max(c->v_samp_factor, 1));
    return blocks;
}

// Called by libjpeg between the rows it takes in; nothing here may throw.
extern "C" void JpegProgressMonitor(j_common_ptr cinfo) {
    if (!cinfo->is_decompressor) return;
    auto& info = *reinterpret_cast<j_decompress_ptr>(cinfo);
    auto& progress = *reinterpret_cast<TJpegProgress*>(cinfo->progress);
    if (info.input_scan_number > MaxScans) ERREXIT(cinfo, JERR_BAD_PROGRESSION);
    if (info.input_scan_number != progress.Scan) {
        progress.Scan = info.input_scan_number;
        progress.Row = 0;
    }
    if (info.input_iMCU_row > progress.Row) {
        progress.BlocksVisited += uint64_t(info.input_iMCU_row - progress.Row) * BlocksPerScanRow(info);
        progress.Row = info.input_iMCU_row;
    }
    if (progress.BlocksVisited > MaxScanBlocks) ERREXIT(cinfo, JERR_BAD_PROGRESSION);
}

// libjpeg's own working memory, above all the coefficients a progressive
// file keeps for the whole picture (two bytes per sample): 64 MiB, plus as
// much again as the decoded raster up to 192 MiB more, so that progressive
// photographs of up to 22 million pixels (full colour resolution) or 89
// million (halved colour) decode. A file that needs more is refused before
// anything large is allocated.
constexpr long MaxJpegWorkingMemory = 64L << 20;
constexpr uint64_t MaxJpegCoefficientAllowance = uint64_t(192) << 20;

// One decompressor over a block of bytes; destroyed whatever happened.
struct TJpegDecompressor {
    jpeg_decompress_struct Info{};
    TJpegErrorManager Error{};
    TJpegSource Source{};
    TJpegProgress Progress{};
    bool Created = false;

    TJpegDecompressor(const uint8_t* data, size_t size) {
        Info.err = jpeg_std_error(&Error.Pub);
        Error.Pub.error_exit = JpegErrorExit;
        Error.Pub.emit_message = JpegEmitMessage;
        Error.Pub.output_message = JpegOutputMessage;
        Source.Pub.init_source = JpegInitSource;
        Source.Pub.fill_input_buffer = JpegFillInputBuffer;
        Source.Pub.skip_input_data = JpegSkipInputData;
        Source.Pub.resync_to_restart = jpeg_resync_to_restart;
        Source.Pub.term_source = JpegTermSource;
        Source.Data = data;
        Source.Size = size;
        Progress.Pub.progress_monitor = JpegProgressMonitor;
    }
    ~TJpegDecompressor() {
        if (Created) jpeg_destroy_decompress(&Info);
    }
    TJpegDecompressor(const TJpegDecompressor&) = delete;
    TJpegDecompressor& operator=(const TJpegDecompressor&) = delete;
};

using TJpegStep = void (*)(TJpegDecompressor& jpeg, void* context);

void CreateStep(TJpegDecompressor& jpeg, void*) {
    jpeg_create_decompress(&jpeg.Info);
    jpeg.Created = true;
    jpeg.Info.src = &jpeg.Source.Pub;
    jpeg.Info.progress = &jpeg.Progress.Pub;
    jpeg.Info.mem->max_memory_to_use = MaxJpegWorkingMemory;
}

// Once the header has given the picture's size.
void AllowCoefficientStore(jpeg_decompress_struct& info) {
    const uint64_t raster = uint64_t(info.image_width) * info.image_height * 3;
    info.mem->max_memory_to_use = MaxJpegWorkingMemory + long(std::min(raster, MaxJpegCoefficientAllowance));
}

// Runs one step with libjpeg's fatal errors caught; answers the error's
// message code, or 0. The step must keep no object with a destructor alive
// across a libjpeg call: a longjmp would skip it.
int GuardedCall(TJpegDecompressor& jpeg, TJpegStep step, void* context) {
    if (setjmp(jpeg.Error.Jump)) return jpeg.Error.Pub.msg_code;
    step(jpeg, context);
    return 0;
}

void Check(int code) {
    if (code != 0) throw EJPEG(Format("JPEG error #%d", code));
}

void Open(TJpegDecompressor& jpeg) {
    Check(GuardedCall(jpeg, CreateStep, nullptr));
}

int ScaleDenominator(TJPEGScale scale) {
    switch (scale) {
    case TJPEGScale::jsFullSize:
        return 1;
    case TJPEGScale::jsHalf:
        return 2;
    case TJPEGScale::jsQuarter:
        return 4;
    case TJPEGScale::jsEighth:
        return 8;
    }
    return 1;
}

bool IsFourComponent(const jpeg_decompress_struct& info) {
    return info.jpeg_color_space == JCS_CMYK || info.jpeg_color_space == JCS_YCCK;
}

// What the decoder is told before it starts, from the picture's settings.
void ApplySettings(jpeg_decompress_struct& info, const TJPEGDefaults& settings, bool multiScan) {
    info.scale_num = 1;
    info.scale_denom = static_cast<unsigned>(ScaleDenominator(settings.Scale));
    info.do_block_smoothing = settings.Smoothing ? TRUE : FALSE;
    if (IsFourComponent(info)) {
        // libjpeg turns YCCK into CMYK but no further; the rows are made RGB here.
        info.out_color_space = JCS_CMYK;
    } else {
        if (settings.Grayscale) info.out_color_space = JCS_GRAYSCALE;
        if (settings.PixelFormat == TJPEGPixelFormat::jf8Bit || info.out_color_space == JCS_GRAYSCALE) {
            info.quantize_colors = TRUE;
            info.desired_number_of_colors = 236;
        } else {
            // Straight into the blue, green, red order of a 24-bit raster.
            info.out_color_space = JCS_EXT_BGR;
        }
    }
    if (settings.Performance == TJPEGPerformance::jpBestSpeed) {
        info.dct_method = JDCT_IFAST;
        info.two_pass_quantize = FALSE;
        info.dither_mode = JDITHER_ORDERED;
    }
    info.buffered_image = settings.ProgressiveDisplay && multiScan ? TRUE : FALSE;
}

// ---- decoding

struct TDecodeContext {
    TBitmap* Raster;
    const TJPEGDefaults* Settings;
    std::vector<JSAMPROW> Rows;    // one pointer per raster row
    std::vector<uint8_t> CmykRow;  // one CMYK row when the file has four components
    std::function<void(int)> Tick; // progress between batches of rows
    TJPEGRowSink* Sink = nullptr;  // rows go here instead of into the raster, when it can take them
    bool Streamed = false;
};

void CmykToBgr(const uint8_t* cmyk, uint8_t* bgr, unsigned width, bool inverted) {
    for (unsigned x = 0; x < width; ++x, cmyk += 4, bgr += 3) {
        unsigned c = cmyk[0], m = cmyk[1], y = cmyk[2], k = cmyk[3];
        // Adobe writes the inks inverted; everybody else follows Adobe's files.
        if (!inverted) c = 255 - c, m = 255 - m, y = 255 - y, k = 255 - k;
        bgr[0] = static_cast<uint8_t>((y * k + 127) / 255);
        bgr[1] = static_cast<uint8_t>((m * k + 127) / 255);
        bgr[2] = static_cast<uint8_t>((c * k + 127) / 255);
    }
}

void SetUpRaster(jpeg_decompress_struct& info, TDecodeContext& ctx) {
    if (CheckedPixelCount(info.output_width, info.output_height) < 0) ERREXIT1(&info, JERR_IMAGE_TOO_BIG, 0);
    TBitmap& raster = *ctx.Raster;
    bool indexed = info.quantize_colors;
    raster.SetPixelFormat(indexed ? TPixelFormat::pf8bit : TPixelFormat::pf24bit);
    raster.SetSize(static_cast<int>(info.output_width), static_cast<int>(info.output_height));
    if (indexed) {
        std::vector<TPaletteEntry> palette(static_cast<size_t>(info.actual_number_of_colors));
        for (size_t i = 0; i < palette.size(); ++i) {
            bool gray = info.out_color_components == 1;
            uint8_t r = info.colormap[0][i];
            palette[i] = TPaletteEntry{r, gray ? r : uint8_t(info.colormap[1][i]),
                                       gray ? r : uint8_t(info.colormap[2][i]), 0};
        }
        raster.SetPalette(std::move(palette));
    }
    ctx.Rows.resize(info.output_height);
    for (unsigned y = 0; y < info.output_height; ++y)
        ctx.Rows[y] = raster.ScanLine(static_cast<int>(y));
    if (info.out_color_space == JCS_CMYK) ctx.CmykRow.resize(size_t(info.output_width) * 4);
}

void ReadRows(jpeg_decompress_struct& info, TDecodeContext& ctx) {
    bool cmyk = info.out_color_space == JCS_CMYK;
    while (info.output_scanline < info.output_height) {
        unsigned y = info.output_scanline;
        if (cmyk) {
            JSAMPROW row = ctx.CmykRow.data();
            if (jpeg_read_scanlines(&info, &row, 1) == 1)
                CmykToBgr(row, ctx.Rows[y], info.output_width, info.saw_Adobe_marker);
        } else {
            jpeg_read_scanlines(&info, ctx.Rows.data() + y, info.output_height - y);
        }
        ctx.Tick(static_cast<int>(uint64_t(info.output_scanline) * 100 / info.output_height));
    }
}

// Full-colour rows straight into the sink, already in its order: no raster
// of the whole picture to fault in and no second pass over it. Pictures that
// decode to a palette or from four components are left to the raster.
void StreamRows(jpeg_decompress_struct& info, TDecodeContext& ctx) {
    if (info.quantize_colors || info.out_color_space != JCS_EXT_BGR) return;
    // The same colour conversion as for blue, green, red; libjpeg sets the fourth byte to 255.
    info.out_color_space = JCS_EXT_RGBA;
    // Only the whole picture is wanted, not each scan drawn over the last.
    info.buffered_image = FALSE;
    jpeg_start_decompress(&info);
    if (CheckedPixelCount(info.output_width, info.output_height) < 0) ERREXIT1(&info, JERR_IMAGE_TOO_BIG, 0);
    ctx.Streamed = true;
    ctx.Sink->Start(static_cast<int>(info.output_width), static_cast<int>(info.output_height));
    while (info.output_scanline < info.output_height) {
        JSAMPROW row = ctx.Sink->NextRow();
        // Our source never suspends; should a row still not come, finishing reports it.
        if (jpeg_read_scanlines(&info, &row, 1) != 1) break;
        ctx.Tick(static_cast<int>(uint64_t(info.output_scanline) * 100 / info.output_height));
    }
    jpeg_finish_decompress(&info);
}

void DecodeStep(TJpegDecompressor& jpeg, void* context) {
    auto& ctx = *static_cast<TDecodeContext*>(context);
    jpeg_decompress_struct& info = jpeg.Info;
    jpeg_read_header(&info, TRUE);
    AllowCoefficientStore(info);
    ApplySettings(info, *ctx.Settings, jpeg_has_multiple_scans(&info));
    if (ctx.Sink) return StreamRows(info, ctx);
    jpeg_start_decompress(&info);
    SetUpRaster(info, ctx);
    if (info.buffered_image) {
        // Each scan is drawn over the last as it arrives; the pass that starts
        // once all input is in leaves the full picture.
        for (;;) {
            bool finalPass = jpeg_input_complete(&info);
            jpeg_start_output(&info, info.input_scan_number);
            ReadRows(info, ctx);
            jpeg_finish_output(&info);
            if (finalPass) break;
        }
    } else {
        ReadRows(info, ctx);
    }
    jpeg_finish_decompress(&info);
}

} // namespace

// ---- TJPEGImage

TJPEGImage::TJPEGImage() : Settings(JPEGDefaults()) {}
TJPEGImage::~TJPEGImage() = default;

void TJPEGImage::Assign(const TJPEGImage& source) {
    if (&source == this) return;
    FImage = source.FImage;
    FProgressive = source.FProgressive;
    Settings = source.Settings;
    FBitmap.reset();
    FScaledValid = false;
    SetPaletteModified(true);
    Changed();
}

void TJPEGImage::SetWidth(int) {
    throw EInvalidGraphicOperation("Cannot change the size of a JPEG image");
}
void TJPEGImage::SetHeight(int) {
    throw EInvalidGraphicOperation("Cannot change the size of a JPEG image");
}

void TJPEGImage::ReadPicture(TStream& stream) {
    auto data = std::make_shared<TJPEGData>();
    int64_t size = stream.Size() - stream.Position();
    if (size > 0) {
        data->Data = TPixelBuffer(static_cast<size_t>(size));
        stream.ReadBuffer(data->Data.data(), size);
    }
    bool progressive = false;
    if (data->Data.size() != 0) ReadHeaderFacts(*data, progressive);
    // Only a picture whose header read cleanly replaces what was there.
    FImage = std::move(data);
    FProgressive = progressive;
    FBitmap.reset();
    FScaledValid = false;
    SetPaletteModified(true);
    Changed();
}

namespace {
struct THeaderFacts {
    int Width = 0;
    int Height = 0;
    bool Grayscale = false;
    bool Progressive = false;
};

void HeaderFactsStep(TJpegDecompressor& jpeg, void* context) {
    auto& facts = *static_cast<THeaderFacts*>(context);
    jpeg_read_header(&jpeg.Info, TRUE);
    facts.Width = static_cast<int>(jpeg.Info.image_width);
    facts.Height = static_cast<int>(jpeg.Info.image_height);
    facts.Grayscale = jpeg.Info.jpeg_color_space == JCS_GRAYSCALE;
    facts.Progressive = jpeg_has_multiple_scans(&jpeg.Info);
    if (CheckedPixelCount(facts.Width, facts.Height) < 0) ERREXIT1(&jpeg.Info, JERR_IMAGE_TOO_BIG, 0);
}
} // namespace

void TJPEGImage::ReadHeaderFacts(TJPEGData& data, bool& progressive) {
    TJpegDecompressor jpeg(data.Data.data(), data.Data.size());
    Open(jpeg);
    THeaderFacts facts;
    Check(GuardedCall(jpeg, HeaderFactsStep, &facts));
    data.Width = facts.Width;
    data.Height = facts.Height;
    data.Grayscale = facts.Grayscale;
    progressive = facts.Progressive;
}

namespace {
struct TScaledSize {
    TJPEGScale Scale;
    int Width = 0;
    int Height = 0;
};

void ScaledSizeStep(TJpegDecompressor& jpeg, void* context) {
    auto& size = *static_cast<TScaledSize*>(context);
    jpeg_read_header(&jpeg.Info, TRUE);
    jpeg.Info.scale_num = 1;
    jpeg.Info.scale_denom = static_cast<unsigned>(ScaleDenominator(size.Scale));
    jpeg_calc_output_dimensions(&jpeg.Info);
    size.Width = static_cast<int>(jpeg.Info.output_width);
    size.Height = static_cast<int>(jpeg.Info.output_height);
}
} // namespace

void TJPEGImage::CalcOutputDimensions() const {
    if (FScaledValid && FScaledFor == Settings.Scale) return;
    TScaledSize size{Settings.Scale};
    if (FImage && FImage->Data.size() != 0) {
        TJpegDecompressor jpeg(FImage->Data.data(), FImage->Data.size());
        Open(jpeg);
        Check(GuardedCall(jpeg, ScaledSizeStep, &size));
    }
    FScaledWidth = size.Width;
    FScaledHeight = size.Height;
    FScaledFor = Settings.Scale;
    FScaledValid = true;
}

int TJPEGImage::Width() const {
    if (FBitmap) return FBitmap->Width();
    if (!FImage) return 0;
    if (Settings.Scale == TJPEGScale::jsFullSize) return FImage->Width;
    CalcOutputDimensions();
    return FScaledWidth;
}

int TJPEGImage::Height() const {
    if (FBitmap) return FBitmap->Height();
    if (!FImage) return 0;
    if (Settings.Scale == TJPEGScale::jsFullSize) return FImage->Height;
    CalcOutputDimensions();
    return FScaledHeight;
}

void TJPEGImage::DIBNeeded() {
    // Tried once: a broken file raises at the first drawing and draws nothing after.
    if (FBitmap || !FImage) return;
    FBitmap = std::make_unique<TBitmap>();
    Decode(nullptr);
}

bool TJPEGImage::DecodeRgbaRows(TJPEGRowSink& sink) {
    return FImage && Decode(&sink);
}

bool TJPEGImage::Decode(TJPEGRowSink* sink) {
    using Clock = std::chrono::steady_clock;
    Clock::time_point last = Clock::now();
    TDecodeContext ctx{FBitmap.get(), &Settings, {}, {}, {}, sink};
    ctx.Tick = [&](int percent) {
        if (!OnProgress || Clock::now() - last < std::chrono::milliseconds(500)) return;
        last = Clock::now();
        Progress(TProgressStage::psRunning, percent);
    };
    int code = 0;
    try {
        Progress(TProgressStage::psStarting, 0);
        {
            TJpegDecompressor jpeg(FImage->Data.data(), FImage->Data.size());
            Open(jpeg);
            code = GuardedCall(jpeg, DecodeStep, &ctx);
        }
        Progress(TProgressStage::psEnding, code == 0 ? 100 : 0);
    } catch (const EAbort&) {
        return ctx.Streamed; // cancelled by the progress handler: no error
    }
    Check(code);
    return ctx.Streamed;
}

void TJPEGImage::DrawInRect(TCanvas& canvas, const TRect& rect) {
    DIBNeeded();
    if (FBitmap) FBitmap->DrawInRect(canvas, rect);
}
