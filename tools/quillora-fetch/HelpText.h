#pragma once
// The manual that --help prints after the usage line, and the source of the
// manual page quillora-fetch(1) (scripts/helptext2man.py converts it at
// build time; see there for the layout).

inline constexpr const char* HelpText = R"(NAME
    quillora-fetch - fetch URLs with QuilloraDownLoad's HTTP client, like curl

SYNOPSIS
    quillora-fetch [-v] [-o FILE] [-L] [--max-redirs N] [-u user:password]
                   [-x [http://]host:port] [-U user:password] [--noproxy LIST]
                   [--cacert FILE] [-k] URL...

DESCRIPTION
    Fetches each URL in turn with QuilloraDownLoad's own HTTP client, on one
    connection where the server allows, and writes the bodies one after
    another. All URLs go over one client, so keep-alive and cookies carry over
    from one to the next.

OPTIONS
    -o FILE
            Write the bodies to FILE instead of standard output. A regular FILE
            is written under a temporary name beside it and renamed when every
            URL was fetched, so a failure leaves no file (and an existing FILE
            as it was); devices and pipes (/dev/null, /dev/stdout, a FIFO) are
            written as the bytes come.
    -v
            Show the connection steps and the request and reply headers on
            standard error.
    -L
            Follow redirects.
    --max-redirs N
            Follow at most N redirects.
    -u user:password
            Answer the server's Basic authentication.
    -x [http://]host:port
            Use this HTTP proxy (default: http_proxy, HTTP_PROXY; for https
            URLs https_proxy, HTTPS_PROXY). An https URL goes through the
            proxy's CONNECT tunnel, encrypted end to end.
    -U user:password
            Credentials for the proxy.
    --noproxy LIST
            Hosts reached without the proxy (default: no_proxy).
    --cacert FILE
            Trust the CA certificates in FILE (PEM) for https instead of the
            system's store (which SSL_CERT_FILE and SSL_CERT_DIR may replace).
    -k, --insecure
            Do not verify https certificates (says so on standard error).
            Anybody on the way can then read and change what is fetched.
    --version
            Print the version and exit.
    -h, --help
            This text.

EXIT STATUS
    0    every URL was fetched
    1    a fetch failed; the last line on standard error is
         "ExceptionClass: message"
    2    bad command line

ENVIRONMENT
    http_proxy, HTTP_PROXY, no_proxy, NO_PROXY as curl and wget read them.

EXAMPLES
    quillora-fetch -o page.html http://photo.quillora.example/quillora
    quillora-fetch -v -L -x 127.0.0.1:8765 http://photo.quillora.example/quillora
)";
