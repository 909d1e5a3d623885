#!/usr/bin/env bash
# Every manual page the build made renders without a warning from man or
# groff, at 80 columns, in a UTF-8 locale and in the C locale, and says what
# its program's --help says (the page is made from the help text).
#   man_pages.sh MAN_DIR BIN_DIR
set -euo pipefail
man_dir=$1 bin_dir=$2
status=0
pages=("$man_dir"/*.1)
[ ${#pages[@]} -ge 5 ] || { echo "man_pages: only ${#pages[@]} pages in $man_dir" >&2; exit 1; }
for page in "${pages[@]}"; do
  program=$(basename "$page" .1)
  for locale in C.UTF-8 C; do
    out=$(LC_ALL=$locale MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null) || { echo "man_pages: $program: man failed" >&2; status=1; }
    if [ -n "$out" ]; then
      echo "man_pages: $program ($locale): $out" >&2
      status=1
    fi
  done
  # The NAME line names the page's own program (twins share a help text).
  name_line=$(sed -n '/^\.SH NAME/{n;p;q}' "$page")
  [ "${name_line%% \\- *}" = "${program//-/\\-}" ] ||
    { echo "man_pages: $program: its NAME line reads \"$name_line\"" >&2; status=1; }
  text=$(LC_ALL=C.UTF-8 MANWIDTH=80 man -l "$page" 2>/dev/null)
  for section in NAME SYNOPSIS DESCRIPTION OPTIONS "EXIT STATUS"; do
    grep -q "^$section" <<<"$text" || [ "$program" = QuilloraDownLoad -a "$section" = "EXIT STATUS" ] ||
      { echo "man_pages: $program has no $section section" >&2; status=1; }
  done
  # Every option the help text names is in the page.
  if [ -x "$bin_dir/$program" ] && [ "$program" != QuilloraDownLoad ]; then
    for option in $("$bin_dir/$program" --help | grep -oE -- '(^| )--[a-z][a-z-]+' | sort -u); do
      grep -qF -- "$option" <<<"$text" || { echo "man_pages: $program: $option is not in the page" >&2; status=1; }
    done
  fi
done
[ $status -eq 0 ] && echo "man_pages: ${#pages[@]} pages render without warnings"
exit $status
