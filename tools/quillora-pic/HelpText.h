#pragma once
// The manual that --help prints after the usage line, and the source of the
// manual page quillora-pic(1) (scripts/helptext2man.py converts it at build
// time; see there for the layout).

inline constexpr const char* HelpText = R"(NAME
    quillora-pic - decode a picture with QuilloraDownLoad's picture model into a PAM file

SYNOPSIS
    quillora-pic FILE -o OUT.pam [--draw W H]
    quillora-pic-qt FILE -o OUT.pam [--draw W H]

DESCRIPTION
    Loads FILE through QuilloraDownLoad's picture model, chosen by the
    extension (bmp, ico, wmf, emf, jpg, jpeg, png), and writes its raster as a
    PAM file, as pngtopam does, so that it can be compared with other decoders.

    The PAM holds the pixels as the picture control shows them, not as the
    file stores them: it is always TUPLTYPE RGB_ALPHA (depth 4, maxval 255,
    alpha 255 where the file has none), whatever the file's format, grey,
    palette and 16-bit samples included; and a PNG with a gAMA chunk has
    the file's gamma applied (for a display gamma of 2.2), where pngtopam
    leaves the samples as stored: compare a PNG without gAMA sample for
    sample.

    Metafiles (wmf, emf) are played by Qt's painter: quillora-pic hands them to
    its twin quillora-pic-qt, which must sit beside it; every other format runs
    without loading Qt. quillora-pic-qt takes the same arguments and can be run
    directly.

OPTIONS
    -o OUT.pam
            Where the PAM file goes; "-" is standard output. A regular file
            is written under a temporary name beside it and renamed when it
            is complete; devices and pipes (/dev/stdout, a FIFO) are written
            as the bytes come. A pipe closed by its reader ends the program
            at once, as it ends other filters. A colour JPEG is written row
            by row as it is decoded: should the file fail after its first
            rows, a device or pipe has them already (the status is still 1),
            while a regular file is not written at all.
    --draw W H
            Draw the picture into a white W x H canvas, as the picture control
            would draw it into that rectangle, and write the canvas.
    --version
            Print the version and exit.
    -h, --help
            This text.

EXIT STATUS
    0    the picture was written
    1    a failure; "ExceptionClass: message" on standard error
    2    bad command line

EXAMPLES
    quillora-pic photo.jpg -o photo.pam
    quillora-pic photo.jpg -o - | pamfile
    quillora-pic drawing.wmf -o drawing.pam --draw 320 240
)";
