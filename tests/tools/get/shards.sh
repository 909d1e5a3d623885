#!/usr/bin/env bash
# Many accounts as the README shows them: three shards of accounts, each
# copied by its own quillora-get with its own archive and --dest, run side by
# side by GNU parallel against the sample service, twice in one folder as a
# backup is run. The union of the shards' archives names every public
# picture of every account exactly once, each file is the service's bytes with the archive's size and SHA-256, and the
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

# As split -d names them; the recipe's reports (shard.00.json) and a merged
# archive lie beside them after the first run.
printf 'quillora\n' >shard.00
printf 'longnames\n# a comment line\n' >shard.01
printf 'many100\n' >shard.02

# parallel keeps its notes under $HOME (or $PARALLEL_HOME): here, not the user's.
export HOME="$work" PARALLEL_HOME="$work/.parallel"
# The README's recipe, with the service as proxy and the archives under out/.
recipe() {
    ls shard.[0-9][0-9] | parallel --will-cite -j 3 --halt now,fail=1 --joblog shards.log \
        "$bin/quillora-get" --proxy "127.0.0.1:$port" --input-file {} --dest out/{} --archive out/{}.db \
        -q --json {}.json
    rm -f all.db
    sqlite3 out/shard.00.db "VACUUM INTO 'all.db'"
    for f in out/shard.0[1-2].db; do
        sqlite3 all.db "ATTACH '$f' AS s; INSERT OR REPLACE INTO pictures SELECT * FROM s.pictures; DETACH s"
    done
}
rows() {
    for f in out/shard.0[0-2].db all.db; do
        echo "== $f"
        sqlite3 "$f" "SELECT * FROM pictures ORDER BY url"
    done
}

# A backup recipe is run again and again: the second run, in the same
# folder, finds everything it needs and leaves the same archives.
recipe
rows >first.rows
recipe
rows >second.rows
if ! cmp -s first.rows second.rows; then
    echo "the second run changed the archives:"
    diff first.rows second.rows | head -20
    exit 1
fi
for f in shard.0[0-2].json; do
    [ -s "$f" ] || { echo "no report $f"; exit 1; }
done

python3 - "$work" <<'PY'
import hashlib, os, re, sqlite3, sys
work = sys.argv[1]
export = os.path.join(work, "export")
home = os.path.join(export, "photo.quillora.example", "album")
shards = {"shard.00": ["quillora"], "shard.01": ["longnames"], "shard.02": ["many100"]}
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
    db = sqlite3.connect(os.path.join(work, "out", shard + ".db"))
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
