#pragma once
// What QuilloraDownLoad --help prints, and the source of the manual page
// QuilloraDownLoad(1) (scripts/helptext2man.py converts it at build time; see
// there for the layout).

inline constexpr const char* HelpText = R"(NAME
    QuilloraDownLoad - copy the public photo albums of an account to disk

SYNOPSIS
    QuilloraDownLoad [Qt options]
    QuilloraDownLoad --help | --version

DESCRIPTION
    A desktop program. Type an account name of the photo-album service and
    press the view button: the program fetches the account's home page, finds
    its album list and shows every album as a tile, with a check box, the
    album's name and picture count, its description and its thumbnail. Tick
    the albums wanted and press the download button: every ticked album
    becomes a folder with a description file and all of its pictures, each
    shown in the preview as soon as it is saved, while two progress bars
    follow the albums and the pictures.

    A file appears under its name only once it is complete; closing the window
    while a lookup or download runs stops it at once and leaves no
    half-written file. A name from the service that would lead outside the
    folders below (.., a name with /) is refused with an error box.

    quillora-get(1) does the same from the command line.

OPTIONS
    --help
            Print this text and exit.
    --version
            Print the version and exit.

    Other options are Qt's own, such as -platform NAME and -style NAME.

FILES
    Pic/<album>/
            One folder per downloaded album, holding every picture of the album
            and <album>.txt with the album's description, byte for byte as the
            service stores it (GBK). Run from a writable folder of its own
            (the build tree), Pic/ is beside the program; installed, it is
            ~/Pictures/QuilloraDownLoad/ (the desktop's pictures folder,
            XDG_PICTURES_DIR).
    tmp/
            The thumbnail cache, emptied at the start of every lookup: beside
            the program, or ~/.cache/QuilloraDownLoad/ (XDG_CACHE_HOME) when
            installed.

ENVIRONMENT
    http_proxy, HTTP_PROXY ([http://][user:password@]host[:port]) for http,
    https_proxy, HTTPS_PROXY for https, and no_proxy, NO_PROXY, as curl reads
    them, asked again for every request and redirect. XDG_PICTURES_DIR and
    XDG_CACHE_HOME place the folders above.

SEE ALSO
    quillora-get(1), quillora-fetch(1), quillora-pic(1)
)";
