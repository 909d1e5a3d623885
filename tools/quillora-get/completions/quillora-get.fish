# fish completion for quillora-get: options, files and folders for the
# options that take them, and album names after --album and --match (from
# quillora-get --list, for the accounts already on the line).

function __quillora_get_albums
    set -l words (commandline -opc)
    set -l accounts
    set -l skip 0
    for word in $words[2..-1]
        if test $skip -eq 1
            set skip 0
            continue
        end
        switch $word
            case --input-file --album --match --dest -j --jobs --retries --backoff --max-wait --limit-rate \
                --min-speed --min-speed-time --archive --json --proxy --timeout --config --cacert
                set skip 1
            case '-*'
            case '*'
                set -a accounts $word
        end
    end
    test (count $accounts) -gt 0; or return
    timeout 5 $words[1] --list $accounts 2>/dev/null | string match -rv '^#' | cut -f2
end

complete -c quillora-get -f
complete -c quillora-get -l list -d 'Print the albums and exit'
complete -c quillora-get -l input-file -r -F -d 'Accounts from a file, one a line (- for standard input)'
complete -c quillora-get -l album -x -a '(__quillora_get_albums)' -d 'Copy this album (name or index)'
complete -c quillora-get -l match -x -a '(__quillora_get_albums)' -d 'Copy the albums whose name matches'
complete -c quillora-get -l dest -x -a '(__fish_complete_directories)' -d 'Folder that receives Pic/'
complete -c quillora-get -s j -l jobs -x -d 'Pictures fetched in parallel'
complete -c quillora-get -l retries -x -d 'Attempts after the first'
complete -c quillora-get -l backoff -x -d 'First wait before a retry (ms)'
complete -c quillora-get -l max-wait -x -d 'Longest single wait (s)'
complete -c quillora-get -l limit-rate -x -d 'At most this many bytes a second (k, M)'
complete -c quillora-get -l min-speed -x -d 'A slower transfer fails (bytes a second, k, M)'
complete -c quillora-get -l min-speed-time -x -d 'How long a transfer may stay below --min-speed (s)'
complete -c quillora-get -l archive -r -F -d 'Archive of saved pictures (SQLite)'
complete -c quillora-get -l verify -d 'Check the archived pictures on the disk'
complete -c quillora-get -l repair -d 'Check, then fetch again what is missing or changed'
complete -c quillora-get -l refresh -d 'Ask the server about every archived picture'
complete -c quillora-get -l checksums -d 'Write SHA256SUMS into every album folder'
complete -c quillora-get -l gallery -d 'Write an offline HTML gallery of the copy from the archive'
complete -c quillora-get -l no-remote-time -d "Keep the time of writing, not the server's Last-Modified"
complete -c quillora-get -l json -r -F -d 'Write a report of the run'
complete -c quillora-get -s q -l quiet -d 'Only errors'
complete -c quillora-get -s v -l verbose -d 'Also retries, resumes and restarts'
complete -c quillora-get -l proxy -x -d 'HTTP proxy host:port'
complete -c quillora-get -l timeout -x -d 'Give up on a server silent this long (s)'
complete -c quillora-get -l config -r -F -d 'Read options from this file'
complete -c quillora-get -l cacert -r -F -d 'Trust the CA certificates in this file'
complete -c quillora-get -s k -l insecure -d 'Do not verify https certificates'
complete -c quillora-get -l version -d 'Print the version'
complete -c quillora-get -s h -l help -d 'The manual'
