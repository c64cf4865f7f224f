#!/bin/sh
# The manual page and --help describe the same tool: the options listed under
# "Options:" in --help are exactly the options of the page's OPTIONS section,
# and the defaults and output names of --help appear in the page.
# Usage: man_page_matches_help.sh TOOL MAN_PAGE
set -eu
tool=$1
page=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

option_words() {
    grep -oE -- '(^|[[:space:],"])--?([a-z][a-z-]*)?' | sed 's/^[[:space:],"]*//' | sort -u
}

"$tool" --help > "$work/help"
# Option lines of --help: indented lines of the Options section that begin
# with a dash, up to the two spaces before their description.
awk '/^Options:/ { on = 1; next } /^[^ ]/ { on = 0 } on && /^ +-/' "$work/help" |
    sed -e 's/^ *//' -e 's/   *.*//' | option_words > "$work/help-options"
# Option headings of the page: the line after each .TP of the OPTIONS section,
# with roff dashes and font changes undone.
awk '/^\.SH/ { on = ($2 == "OPTIONS"); next } on && heading { print; heading = 0 }
     on && /^\.TP/ { heading = 1 }' "$page" |
    sed -e 's/\\-/-/g' -e 's/\\f[A-Z]//g' -e 's/^\.[A-Z]* //' | option_words > "$work/page-options"

status=0
if [ "$(wc -l < "$work/help-options")" -lt 8 ]; then
    echo "found only these options in --help:"; cat "$work/help-options"; status=1
fi
if ! diff -u "$work/help-options" "$work/page-options"; then
    echo "the options of --help (-) and of the manual page (+) differ"; status=1
fi
sed -e 's/\\-/-/g' -e 's/\\f[A-Z]//g' -e 's/\\&//g' "$page" > "$work/page-text"
for word in flickr15.bmp 1.2 _J.bmp _A.bmp _T.bmp "pics/night_J.bmp" night_T.bmp out/r_A.png; do
    grep -qF -- "$word" "$work/help" || { echo "--help lacks '$word'"; status=1; }
    grep -qF -- "$word" "$work/page-text" || { echo "the manual page lacks '$word'"; status=1; }
done
echo "options in both: $(tr '\n' ' ' < "$work/help-options")"
exit $status
