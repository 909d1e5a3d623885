#!/usr/bin/env bash
# Many accounts as the README shows them: three shards of accounts, each
# copied by its own quillora-get with its own archive and --dest, run side by
# side by GNU parallel against the sample service. The union of the shards'
# archives names every public picture of every account exactly once, each
# file is the service's bytes with the archive's size and SHA-256, and the
# archives merge into one with sqlite3.
#   shards.sh BIN_DIR SOURCE_DIR
set -euo pipefail
bin=$(cd "$1" && pwd)
src=$(cd "$2" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/quillora-shards.XXXXXX")
service=
cleanup() {
    if [ -n "$service" ]; then
        kill "$service" 2>/dev/null || true
        wait "$service" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT
cd "$work"

python3 "$src/tools/sample-service/service.py" --port-file port --lifetime 600 >service.log 2>&1 &
service=$!
# As long as it takes on a busy machine: the service ends the wait if it fails.
until [ -s port ]; do
    kill -0 "$service" 2>/dev/null || { cat service.log; exit 1; }
    sleep 0.1
done
port=$(cat port)
python3 "$src/tools/sample-service/service.py" --export export

printf 'quillora\n' >shard.1
printf 'longnames\n# a comment line\n' >shard.2
printf 'many100\n' >shard.3

# parallel keeps its notes under $HOME (or $PARALLEL_HOME): here, not the user's.
export HOME="$work" PARALLEL_HOME="$work/.parallel"
ls shard.? | parallel --will-cite -j 3 --halt now,fail=1 \
    "$bin/quillora-get" --proxy "127.0.0.1:$port" --input-file {} --dest out/{} --archive {}.db -q

sqlite3 shard.1.db "VACUUM INTO 'all.db'"
for f in shard.2.db shard.3.db; do
    sqlite3 all.db "ATTACH '$f' AS s; INSERT OR REPLACE INTO pictures SELECT * FROM s.pictures; DETACH s"
done

python3 - "$work" <<'PY'
import hashlib, os, re, sqlite3, sys
work = sys.argv[1]
export = os.path.join(work, "export")
home = os.path.join(export, "photo.quillora.example", "album")
shards = {"shard.1": ["quillora"], "shard.2": ["longnames"], "shard.3": ["many100"]}
wrong = []
expected = set()
for accounts in shards.values():
    for account in accounts:
        albums = open(os.path.join(home, account, "list.js"), "rb").read()
        for record in re.findall(rb"\{id:.*?purl:'[^']*'\}", albums, re.S):
            if re.search(rb",au:0,", record) is None:
                continue  # the window does not show it: not copied
            script = re.search(rb"purl:'[^']*/([^/']+)'", record).group(1).decode()
            pictures = open(os.path.join(home, account, script), "rb").read()
            for path in re.findall(rb"ourl:'([^']+)'", pictures):
                head, rest = path.decode().split("/", 1)
                expected.add("http://img%s.photo.quillora.example/%s" % (head, rest))
seen = {}
for shard in shards:
    db = sqlite3.connect(os.path.join(work, shard + ".db"))
    if db.execute("PRAGMA integrity_check").fetchone()[0] != "ok":
        wrong.append(shard + ": not sound")
    for url, path, size, sha in db.execute("SELECT url, path, size, sha256 FROM pictures"):
        if url in seen:
            wrong.append("twice: " + url)
        seen[url] = shard
        host, rest = url[len("http://"):].split("/", 1)
        served = open(os.path.join(export, host, rest), "rb").read()
        saved = open(os.path.join(work, "out", shard, path), "rb").read()
        if saved != served or size != len(saved) or sha != hashlib.sha256(saved).hexdigest():
            wrong.append("not the service's bytes: " + path)
    files = [f for _, _, names in os.walk(os.path.join(work, "out", shard)) for f in names
             if not f.endswith(".txt")]
    rows = db.execute("SELECT count(*) FROM pictures").fetchone()[0]
    if len(files) != rows:
        wrong.append("%s: %d picture files, %d rows" % (shard, len(files), rows))
if set(seen) != expected:
    wrong.append("missing %d, extra %d" % (len(expected - set(seen)), len(set(seen) - expected)))
merged = sqlite3.connect(os.path.join(work, "all.db")).execute("SELECT count(*) FROM pictures").fetchone()[0]
if merged != len(expected):
    wrong.append("merged archive: %d rows of %d" % (merged, len(expected)))
print("%d pictures in %d shards, %d in the merged archive" % (len(seen), len(shards), merged))
if wrong:
    print("\n".join(wrong[:20]))
    sys.exit(1)
PY
