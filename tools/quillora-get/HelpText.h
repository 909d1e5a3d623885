#pragma once
// The manual page that --help prints.

inline constexpr const char* HelpText = R"(NAME
    quillora-get - copy the public photo albums of an account to disk

SYNOPSIS
    quillora-get [options] ACCOUNT
    quillora-get --list ACCOUNT

DESCRIPTION
    Looks up the albums of ACCOUNT as the window does and copies them to
    DIR/Pic/<album>/, each with its description file <album>.txt, named
    exactly as the window names them. Pictures are fetched in parallel on
    keep-alive connections; what is already there is skipped, a download cut
    off is resumed, and a failing server is asked again politely. A failure of
    one picture never stops the others.

    A picture is written under a hidden temporary name beside it
    (.quillora-<hash>.part) and renamed to NAME only when its length is proven
    (the exact Content-Length, or a range that ends at the picture's size) and
    its bytes are on the disk. A temporary file left by an interrupted run is
    continued with a Range request; it is started again when the server sends
    the whole picture, a range that is not exactly the rest of it, or when the
    picture changed on the server.

    Without --archive, a picture whose file exists with the size the server
    reports (asked with HEAD) is skipped; with another size it is fetched
    again.

OPTIONS
    --list             Print the albums (index, name, picture count, first
                       line of the description) and exit.
    --album NAME|INDEX Copy this album only; may be given more than once.
                       INDEX counts from 1 as --list prints it. Default: every
                       album the window would show.
    --dest DIR         Folder that receives Pic/ (default: the current folder).
    -j, --jobs N       Pictures fetched in parallel (default 4, at most 64);
                       at most N connections per host.
    --retries N        Attempts after the first for a picture (default 4).
                       Waits double from --backoff, with jitter; a 429 or 503
                       reply waits for its Retry-After (seconds or a date).
                       Other 4xx replies are not retried.
    --backoff MS       First wait before a retry (default 1000).
    --max-wait SECONDS Longest single wait, Retry-After included (default 300).
    --archive FILE     Record of saved pictures (address and size, one per
                       line); recorded pictures are skipped without a request.
    --json FILE        Write a report of the run (per album and picture: url,
                       path, bytes, outcome, message, seconds; totals); "-"
                       for standard output.
    -q, --quiet        Only errors.
    -v, --verbose      Also retries, resumes and restarts.
    --proxy HOST:PORT  HTTP proxy ([http://][user:password@]host[:port]);
                       overrides http_proxy.
    --timeout SECONDS  Give up on a server silent this long (default 60).
    -h, --help         This text.

OUTPUT
    On a terminal: one line per running picture and a total line (pictures
    done/total, bytes, speed, time left). Otherwise one line per picture.
    Errors go to standard error and name the album and the picture.

    Ctrl-C (SIGINT) or SIGTERM stops the run: no new picture is started,
    running ones are cut and keep their temporary files, the report is written.

EXIT STATUS
    0    every picture saved or skipped
    1    some picture or album failed (the report says which), or the
         account could not be looked up
    2    usage error
    130  stopped by SIGINT or SIGTERM

ENVIRONMENT
    http_proxy, HTTP_PROXY, no_proxy, NO_PROXY as curl and wget read them.

EXAMPLES
    quillora-get --list quillora
    quillora-get --dest ~/Albums --archive ~/Albums/archive.txt quillora
    quillora-get --album 1 --album 风景 -j 8 --json report.json quillora
)";
