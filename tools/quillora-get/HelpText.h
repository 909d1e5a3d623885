#pragma once
// The manual that --help prints, and the source of the manual page
// quillora-get(1): scripts/helptext2man.py converts it at build time (a line
// at column 0 is a section; an item is a tag at four blanks, two blanks and
// its text, with its further lines indented deeper).

inline constexpr const char* HelpText = R"(NAME
    quillora-get - copy the public photo albums of accounts to disk

SYNOPSIS
    quillora-get [options] ACCOUNT...
    quillora-get [options] --input-file FILE
    quillora-get --list ACCOUNT...
    quillora-get --archive FILE --verify|--repair [options] [ACCOUNT...]
    quillora-get --archive FILE --checksums [--dest DIR]
    quillora-get --archive FILE --gallery [--dest DIR]

DESCRIPTION
    Looks up the albums of each ACCOUNT as the window does and copies them to
    DIR/Pic/<album>/, each with its description file <album>.txt, named
    exactly as the window names them. Pictures are fetched in parallel on
    keep-alive connections; what is already there is skipped, a download cut
    off is resumed, and a failing server is asked again politely. A failure of
    one picture never stops the others.

    Several accounts are copied in one run, into the same DIR/Pic/ as the
    window would put them; albums of the same name share a folder, where a
    picture of a later account replaces the one of the same name from an
    earlier account. Give each account a --dest of its own to keep them apart.

    A picture is written under a hidden temporary name beside it
    (.quillora-<hash>.part) and renamed to NAME only when its length is proven
    (the exact Content-Length, or a range that ends at the picture's size) and
    its bytes are on the disk. A temporary file left by an interrupted run is
    continued with a Range request, from as far as it is known to have
    reached the disk (a program killed outright may lose its last bytes); it
    is started again when the server sends the whole picture, a range that is
    not exactly the rest of it, or when the picture changed on the server. A
    picture whose name is longer than the file system allows is refused
    before it is fetched. Temporary files are never written through a link,
    nor while another program writes them.

    Without --archive, a picture whose file exists with the size the server
    reports (asked with HEAD) is skipped; with another size it is fetched
    again. Skipped pictures are counted in one line at the end (each one is
    named with -v).

    An ACCOUNT is the path of its home page: a name with a control
    character, a blank, /, ?, # or a % that starts no escape (%41) is refused
    before any request (exit status 2), naming the account and the
    character. An album whose name is blank, ".", ".." or holds / gets no
    folder: it fails alone, before its pictures are asked for.

    The folder of --dest, and the files of --archive and --json, are checked
    before the first request: a file where a folder must be, or a folder
    that cannot be written, is a usage error. The folders above the archive
    and the report are made when missing, as --dest's are.

    With --archive, every picture saved gets a row in the archive (a SQLite
    database): its address, account, album, path under --dest, size, the
    SHA-256 of its bytes (hashed as they are written), and the ETag and
    Last-Modified of its reply; the row is written only once the picture is
    whole under its name. A recorded picture whose file is there with its
    recorded size is skipped without a request; one that is missing or of
    another size is fetched again.

    Addresses may be http or https; https certificates are verified against
    the system's trust store (or --cacert). Redirects are followed, at most 5
    and http to https included, within the service's own hosts
    (photo.quillora.example and the names under it); a redirect anywhere else,
    from https down to http, or to another port fails that picture. The report
    says for each picture whether it came over TLS.

OPTIONS
    --list
            Print the albums (index, name, picture count, first line of the
            description) and exit. With several accounts, each list follows a
            line "# ACCOUNT". An account without albums is said so on
            standard error.
    --input-file FILE
            Read accounts from FILE, one a line, besides those on the command
            line; blank lines and lines whose first character other than
            blanks is # are left out. A # later in a line is no comment: it is
            part of the line, and refused in an account name. "-" reads
            standard input.
    --album NAME|INDEX
            Copy this album; may be given more than once. INDEX counts from 1
            as --list prints it; NAME is the album's name as the service
            stores it or as --list prints it. Every album of that name is
            copied: albums of one name share one folder, as in the window,
            and of two pictures with one file name the later album's stays.
            Default: every album the window would show. The albums are
            chosen in each account: an account that has no album NAME is an
            error of that account (named in the message; none of its albums
            is copied), and the other accounts go on.
    --match GLOB
            Copy the albums whose name matches GLOB (* any text, ? one
            character, [abc] one of them, [!abc] none of them); may be given
            more than once. Taken together with --album: an album named by
            either is copied. When no album of any account matches, that is
            said on standard error and the exit status is 1.
    --dest DIR
            Folder that receives Pic/ (default: the current folder), made
            when missing.
    -j, --jobs N
            Pictures fetched in parallel (default 4, at most 64); at most N
            connections per host.
    --retries N
            Attempts after the first for a picture (default 4). Waits double
            from --backoff, with jitter; a 429 or 503 reply waits for its
            Retry-After (seconds or a date). Other 4xx replies are not retried.
            The home page, the album list and each picture list are asked
            again the same way.
    --backoff MS
            First wait before a retry (default 1000).
    --max-wait SECONDS
            Longest single wait, Retry-After included (default 300).
    --limit-rate RATE
            Receive at most RATE bytes a second, over all workers together.
            RATE may end in k or M (1024 and 1048576 bytes, as curl and wget
            count them), e.g. 500k or 1.5M.
    --min-speed RATE
            A transfer that receives less than RATE bytes a second (k and M as
            above) for --min-speed-time seconds fails, and is retried as a
            failing server is, its part kept; as curl's --speed-limit. The
            time --limit-rate holds a transfer back is not counted: the
            watchdog judges the server's pace, not the limit's, so the two
            options may be given together whatever their values.
    --min-speed-time SECONDS
            How long a transfer may stay below --min-speed (default 30).
    --archive FILE
            The archive of saved pictures, a SQLite database (created when
            missing; its table is described in archive.md beside the report's
            schema, share/doc/quilloradownload/). A text archive
            of earlier versions (address, tab, size, one per line) is taken
            over on first use and kept as FILE.v1; any other file, and a
            database holding triggers, views or tables quillora-get never
            writes, is refused and left as it is.
    --verify
            With --archive, no network: read every recorded picture under
            --dest (of the accounts given, or all) and compare its SHA-256;
            print "missing PATH", "changed PATH" or "unreadable PATH" for each
            problem and a summary. Exit 0 when every picture is whole, else 1;
            an ACCOUNT the archive holds no picture of is an error of its own
            ("account NAME: the archive holds no picture of this account").
    --repair
            As --verify, then fetch again what is missing or changed (written
            and proven as any picture) and update the archive. A row whose
            address is not the service's (http or https on the default port)
            is refused, never asked. No file below --dest is read or written
            through a symbolic link. A picture that cannot be fetched again
            because something that is no file stands where it lies (a
            folder, a FIFO) is named with why ("account NAME: PATH not
            repaired: a folder stands where the picture should be"), exit 1.
    --refresh
            With --archive: ask the server about every recorded picture with
            its validators (If-None-Match, If-Modified-Since). A 304 leaves the
            file and its row as they are; a new version replaces the picture
            and its row. The closing line counts the pictures saved again and
            those the server said are unchanged after its other counts, as
            in: 0 of 11 pictures saved, 11 skipped (0 updated, 11 unchanged);
            the report counts unchanged, updated and new pictures.
    --checksums
            With --archive: write SHA256SUMS into every album folder of the run,
            as sha256sum -c reads it; not where a picture has that name (said,
            exit 1), nor in an album without a whole picture (sha256sum -c
            refuses an empty file). Without an account: into every folder
            the archive names, from the archive and the disk alone (no
            network).
    --gallery
            With --archive: write an offline gallery of the copy, from the
            archive alone (no network), after the run, or alone when no
            account is given: DIR/index.html lists every account and album
            (name, picture count, description, a cover), and each album
            folder gets a hidden folder .quillora-gallery/ with its page and
            a small PNG thumbnail of each picture, made by the program's own
            readers and remade only when the picture's SHA-256 changed. The
            pages need no script and open from file:// or any web server.
            Nothing outside --dest is written, and no link under it is
            followed. "gallery = true" in the configuration file writes it
            after every run.
    --no-remote-time
            Leave each picture saved with the time it was written. Without
            it, a picture whose reply has a Last-Modified date gets that date
            as its modification time, as wget and curl -R do (a reply without
            one, or with one that is no date, leaves the time of writing);
            --refresh and --repair set it in the same way, and --verify does
            not judge times.
    --json FILE
            Write a report of the run (per album and picture: account, url,
            path, bytes, outcome, message, seconds; totals); "-" for standard
            output. Its shape is the JSON Schema in
            share/doc/quilloradownload/quillora-get-report.schema.json beside
            the program's bin/ folder.
    -q, --quiet
            Only errors.
    -v, --verbose
            Also retries, resumes and restarts.
    --proxy HOST:PORT
            HTTP proxy ([http://][user:password@]host[:port]); overrides
            http_proxy and https_proxy. https goes through its CONNECT
            tunnel, encrypted end to end.
    --cacert FILE
            Trust the CA certificates in FILE (PEM) for https instead of the
            system's store.
    -k, --insecure
            Do not verify https certificates (says so on standard error).
            Anybody on the way can then read and change the pictures.
    --timeout SECONDS
            Give up on a server silent this long (default 60).
    --config FILE
            Read options from FILE instead of the default configuration file
            (see FILES); --config /dev/null reads none.
    --version
            Print the version and exit.
    -h, --help
            This text.

OUTPUT
    On a terminal: one line per running picture and a total line (pictures
    done/total, failed so far, bytes, speed, time left), fitted to the
    terminal's width and redrawn when it changes; a long name is shortened in
    its middle with an ellipsis. Otherwise, and when TERM is dumb, one plain
    line per picture (a skipped one only with -v). Errors go to standard
    error and name the account, the album and the picture, each on one line;
    a network failure names the host (and the proxy) before the client's
    text, with its Winsock frame in brackets, as in: account quillora:
    photo.quillora.example: Host not found (Socket Error # 11001). Colour is
    used on a terminal only, and never when NO_COLOR is set. A last line
    counts the run: "7 of 8 pictures saved, 1 failed; 400.8 KB, 1.2 MB/s,
    0.3 s" (skipped pictures, failed albums and accounts that could not be
    looked up are counted too).

    Ctrl-C (SIGINT) or SIGTERM stops the run: no new picture is started,
    running ones are cut and keep their temporary files, the report is written,
    and a last line says how many pictures were saved and that running the
    same command again continues where this run stopped. A second Ctrl-C ends
    the program at once (exit status 130), even while it waits for something
    that cannot be cut, such as a host name's lookup; the temporary files stay
    and are continued by the next run.

FILES
    $XDG_CONFIG_HOME/quillora-get/config
            (~/.config/quillora-get/config without XDG_CONFIG_HOME) Options
            read before the command line, one "name = value" a line with the
            long option's name: jobs = 8, limit-rate = "2M", album = ["1", "2"],
            quiet = true. Lines starting with # are comments. An option given
            on the command line wins over the file. A line that is no option
            or no good value, and an option given on two lines, is a usage
            error naming the file and the line (FILE:LINE: what is wrong);
            ~/ at the start of a path (dest, archive, json, input-file,
            cacert) is the home folder. --help and --version never read the
            file, and --config /dev/null skips it.
    $XDG_CONFIG_HOME/quillora-get/backup.conf
            The options of the scheduled backup (dest, archive, json, ...),
            and backup-accounts beside it its accounts, one a line: the user
            service quillora-get-backup.service runs quillora-get with both
            and --refresh once a day when its timer is on (systemctl --user
            enable --now quillora-get-backup.timer).

EXIT STATUS
    0    every picture of every account saved or skipped (--verify: every
         recorded picture whole)
    1    some picture or album failed (the report says which), an account
         could not be looked up or lacks an album --album names, --album
         and --match chose no album at all, or the archive or the report
         could not be used or written (--verify: a recorded picture is
         missing, changed or unreadable)
    2    usage error
    130  stopped by SIGINT or SIGTERM

ENVIRONMENT
    http_proxy, HTTP_PROXY, https_proxy, HTTPS_PROXY, no_proxy, NO_PROXY as
    curl and wget read them. SSL_CERT_FILE and SSL_CERT_DIR replace the
    system's trust store, as for OpenSSL.
    NO_COLOR (any value) turns colour off; TERM=dumb turns the live display
    off; XDG_CONFIG_HOME places the configuration file.

EXAMPLES
    quillora-get --list quillora
    quillora-get --dest ~/Albums --archive ~/Albums/archive.db quillora
    quillora-get --dest ~/Albums --archive ~/Albums/archive.db --verify
    quillora-get --dest ~/Albums --archive ~/Albums/archive.db --refresh quillora
    quillora-get --dest ~/Albums --archive ~/Albums/archive.db --gallery
    quillora-get --album 1 --album 4 -j 8 --json report.json quillora
    quillora-get --match '*2026*' --limit-rate 500k alice bob
    quillora-get --input-file accounts.txt --min-speed 1k --min-speed-time 20

SEE ALSO
    QuilloraDownLoad(1), quillora-fetch(1), wget(1), curl(1)
)";
