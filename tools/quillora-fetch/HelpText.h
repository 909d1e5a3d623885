#pragma once
// The manual that --help prints after the usage line, and the source of the
// manual page quillora-fetch(1) (scripts/helptext2man.py converts it at
// build time; see there for the layout).

inline constexpr const char* HelpText = R"(NAME
    quillora-fetch - fetch URLs with QuilloraDownLoad's HTTP client, like curl

SYNOPSIS
    quillora-fetch [-v] [-s] [-S] [-f] [-i] [-I] [-o FILE] [-O] [-L]
                   [--location-trusted] [--max-redirs N] [-H 'Name: value']
                   [-u user:password] [-x [http://]host:port]
                   [-U user:password] [--noproxy LIST] [--cacert FILE] [-k]
                   [-w FORMAT] URL...

DESCRIPTION
    Fetches each URL in turn with QuilloraDownLoad's own HTTP client, on one
    connection where the server allows, and writes the bodies one after
    another. All URLs go over one client, so keep-alive and cookies carry over
    from one to the next. Options mean what curl's of the same letters mean,
    and short ones may be written together (-fsSL). As with curl, any
    complete reply is a fetch done, whatever its status: the body of a 404 or
    of a 301 not followed is written and the exit status is 0, unless -f. A
    URL without a scheme is an http one (127.0.0.1:8080/x is
    http://127.0.0.1:8080/x); schemes other than http and https are refused,
    named.

OPTIONS
    -o, --output FILE
            Write the bodies to FILE instead of standard output ("-" is
            standard output). A regular FILE is written under a temporary name
            beside it and renamed when every URL was fetched, so a failure
            leaves no file (and an existing FILE as it was); devices and pipes
            (/dev/null, /dev/stdout, a FIFO) are written as the bytes come.
    -O, --remote-name
            Save the body of a URL in the current folder under the last part
            of its path (http://host/a/photo.jpg: photo.jpg), renamed from a
            temporary name when it is complete. As with curl, each -O is for
            one URL, in order: -O -O a b c saves a and b, and c goes to -o
            FILE or standard output. A URL whose path ends in / names no file
            and is a bad command line.
    -I, --head
            Send HEAD instead of GET and write the reply's status line and
            headers (each reply's, with -L) where the body would go.
    -i, --include
            Write each reply's status line and headers before its body (each
            reply's, with -L).
    -H, --header 'Name: value'
            Send this header with every request; may be given more than once.
            It replaces the client's own header of that name (Accept,
            User-Agent, Referer, ...); 'Name:' leaves that header out and
            'Name;' sends it empty. Authorization, Cookie and
            Proxy-Authorization carry credentials: with -L they go only to
            the origin (scheme, host and port) of the URL given, as curl
            sends them, unless --location-trusted.
    -f, --fail
            An HTTP error reply (status 400 and above) ends the run with exit
            status 22 and nothing of its body written, as curl's does; the
            message is "The requested URL returned error: 404". Heads asked
            for with -i or -I are still written.
    -s, --silent
            No message on standard error when a fetch fails; the exit status
            still tells.
    -S, --show-error
            With -s, still say why a fetch failed.
    -v, --verbose
            Show the connection steps, the TLS session (version, cipher, the
            certificate's subject and issuer, whether it was verified) and
            the request and reply headers on standard error.
    -L, --location
            Follow redirects. Each request, every redirect hop included,
            takes the proxy that its own scheme and host call for (see -x).
            Credentials (-u, the URL's user:password@, and the -H lines
            above) are sent only to the origin of the URL given; a redirect
            to another scheme, host or port gets none, and its 401 is not
            answered.
    --location-trusted
            As -L, and credentials go on to the other origins too (curl's
            option of that name). Still never in clear text: after a
            redirect from https to http none is sent.
    --max-redirs N
            Follow at most N redirects.
    -u, --user user:password
            Answer the server's Basic authentication (only the origin of the
            URL given; see -L).
    -x, --proxy [http://]host:port
            Use this HTTP proxy for http and https alike (default: for http
            addresses http_proxy, HTTP_PROXY; for https addresses
            https_proxy, HTTPS_PROXY, never http_proxy). An https URL goes
            through the proxy's CONNECT tunnel, encrypted end to end; a
            proxy that answers CONNECT with anything but a 2xx, or sends a
            byte before the TLS handshake began, fails the fetch.
    -U, --proxy-user user:password
            Credentials for the proxy.
    --noproxy LIST
            Hosts reached without the proxy (default: no_proxy): a
            comma-separated list of host names, domains (a host under one
            matches), IP addresses (IPv6 with or without brackets; only the
            same address matches) and "*" for all. Asked again on every
            redirect hop.
    --cacert FILE
            Trust the CA certificates in FILE (PEM) for https instead of the
            system's store (which SSL_CERT_FILE and SSL_CERT_DIR may replace).
            A certificate that is not trusted fails the fetch, followed by
            the line "use --cacert FILE to trust a private CA, or -k to skip
            the check".
    -k, --insecure
            Do not verify https certificates (says so on standard error).
            Anybody on the way can then read and change what is fetched.
    -w, --write-out FORMAT
            After each URL, write FORMAT to standard output (whatever -o
            says), with %{http_code} (the last reply's status; 000 when none
            came) and %{size_download} (the body's bytes) put in; these two
            are the variables there are, another is a bad command line. %%
            is a percent sign; \n, \r and \t are a line feed, a carriage
            return and a tab, as curl reads them.
    --version
            Print the version and exit.
    -h, --help
            This text.

EXIT STATUS
    0    every URL was fetched (whatever the reply's status, without -f)
    1    a fetch failed (no complete reply: the network, TLS, a reply that
         cannot be read, too many redirects); the last line on standard
         error is
         "ExceptionClass: message", the message on one line, led by the URL
         when several were given; a network failure names the host (and the
         proxy), as in: EIdSocketError: photo.quillora.example: Host not
         found (Socket Error # 11001). The URLs after it are not fetched.
         After a certificate that is not trusted a hint follows that line.
    2    bad command line
    22   with -f, an HTTP error reply

ENVIRONMENT
    http_proxy, HTTP_PROXY (for http), https_proxy, HTTPS_PROXY (for https),
    no_proxy, NO_PROXY as curl reads them. SSL_CERT_FILE (a PEM bundle) and
    SSL_CERT_DIR (a folder of hashed certificates) replace the system's
    store of trusted CAs, as OpenSSL reads them; --cacert replaces both.

EXAMPLES
    quillora-fetch -o page.html http://photo.quillora.example/quillora
    quillora-fetch -v -L -x 127.0.0.1:8765 http://photo.quillora.example/quillora
    quillora-fetch -fsS -O -x 127.0.0.1:8765 http://img1.photo.quillora.example/a/photo.jpg
    quillora-fetch -I -H 'Accept: image/*' http://127.0.0.1:8080/photo.jpg
    quillora-fetch -s -o /dev/null -w '%{http_code}\n' http://127.0.0.1:8080/nobody
    quillora-fetch --cacert ca.pem https://127.0.0.1:8443/secure
)";
