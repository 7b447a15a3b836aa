#!/usr/bin/env bash
# Checks that the documents say what is true, and fails on the first run that
# finds otherwise:
# - every relative link in README.md and doc/*.md names a file (and, after #,
#   a heading of it), in the source tree and in the copies that cmake --install
#   puts under share/doc/vqdnc/ (installed into a temporary folder);
# - every path under /usr/share/doc/vqdnc/ that the manual pages or
#   vqdnc --help name is installed;
# - every option that vqdnc --help lists is in the manual page's SYNOPSIS and
#   has its entry under OPTIONS;
# - every figure (a number with a decimal point or a thousands separator) in
#   the README's Benchmarks section, or in any paragraph of the README or a
#   guide that links to the benchmarks guide, stands in doc/benchmarks.md.
# Usage: scripts/doc-check.sh   (builds in build-doc, or $VQDNC_DOC_BUILD)
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh build

build=${VQDNC_DOC_BUILD:-build-doc}
cmake -S . -B "$build" -DVQDNC_TESTS=OFF -DVQDNC_BENCH=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" >/dev/null
staging=$(mktemp -d)
trap 'rm -rf "$staging"' EXIT
DESTDIR="$staging" cmake --install "$build" --prefix /usr >/dev/null
installed_doc="$staging/usr/share/doc/vqdnc"

# (No grep -q at the end of a pipe: under pipefail, the writer it leaves early
# would fail the test.)
problems=0
problem() {
    echo "doc-check: $*"
    problems=$((problems + 1))
}

# A document's text: Markdown as it is, an installed copy uncompressed.
text_of() {
    case "$1" in
    *.gz) gzip -dc "$1" ;;
    *) cat "$1" ;;
    esac
}

# The text without its fenced code blocks, where brackets are no links.
prose_of() {
    text_of "$1" | awk '/^```/ { fenced = !fenced; next } !fenced'
}

# The anchors of a document's headings, as GitHub makes them: lower case,
# punctuation dropped, blanks made hyphens.
anchors_of() {
    prose_of "$1" | sed -n 's/^#\{1,6\} //p' | tr 'A-Z' 'a-z' |
        sed 's/[^a-z0-9 _-]//g; s/ /-/g'
}

links=0
check_links() {
    local document=$1 shown=$2 target file anchor
    while IFS= read -r target; do
        links=$((links + 1))
        file=${target%%#*}
        anchor=""
        [ "$file" = "$target" ] || anchor=${target#*#}
        if [ -z "$file" ]; then
            file=$document
        else
            file=$(dirname "$document")/$file
        fi
        if [ ! -e "$file" ]; then
            problem "$shown: link to $target: no such file"
        elif [ -n "$anchor" ] && ! anchors_of "$file" | grep -xF "$anchor" >/dev/null; then
            problem "$shown: link to $target: no such heading"
        fi
    done < <(prose_of "$document" | grep -o '\]([^)]*)' | sed 's/^](//; s/)$//' |
        grep -v -E '^[a-z][a-z0-9+.-]*:' || true)
}

documents=(README.md doc/*.md)
for document in "${documents[@]}"; do
    check_links "$document" "$document"
done
for document in "${documents[@]}"; do
    copy="$installed_doc/$document.gz"
    if [ -e "$copy" ]; then
        check_links "$copy" "installed $document.gz"
    else
        problem "$document is not installed as share/doc/vqdnc/$document.gz"
    fi
done

# --help opens no port; the variables are emptied all the same, so that no
# channel could fall back to a device of this machine.
for n in $(seq 13); do export "VQDNC_COM$n="; done
vqdnc_help=$("$build/vqdnc" --help)
paths=0
while IFS= read -r path; do
    paths=$((paths + 1))
    if ! compgen -G "$installed_doc/${path#/usr/share/doc/vqdnc/}" >/dev/null; then
        problem "$path, named in a manual page or vqdnc --help, is not installed"
    fi
done < <({
    echo "$vqdnc_help"
    # Alternating-font macros (.IR a b) join their words.
    sed -E 's/\\-/-/g; /^\.(IR|RI|BR|RB|BI|IB) /{s/^\.[A-Z]+ //; s/[" ]//g}' man/*.1
} | grep -o '/usr/share/doc/vqdnc/[^ ]*' | sed 's/[,.;:)]*$//' | sort -u)

# A section of the manual page, its troff escapes for hyphens undone.
man_section() {
    sed 's/\\-/-/g' man/vqdnc.1 | awk -v name="$1" '/^\.SH / { inside = ($2 == name) } inside'
}
options=0
while IFS= read -r option; do
    options=$((options + 1))
    if ! man_section SYNOPSIS | grep -E -- "(^|[^-])$option([^a-z-]|$)" >/dev/null; then
        problem "vqdnc --help lists $option; the manual page's SYNOPSIS does not"
    fi
    if ! man_section OPTIONS | awk 'tag { print } { tag = /^\.T[PQ]$/ }' |
        grep -E -- "^\.(B|BI|BR) $option([^a-z-]|$)" >/dev/null; then
        problem "vqdnc --help lists $option; the manual page's OPTIONS has no entry for it"
    fi
done < <(echo "$vqdnc_help" | sed -n '/^Options/,/^$/p' | grep -oE '^  (--[a-z-]+|-[a-zA-Z])' |
    sed 's/^  //' | sort -u)

figures=0
figure_pattern='[0-9]+\.[0-9]+|[0-9]{1,3}(,[0-9]{3})+'
while IFS=$'\t' read -r document figure; do
    figures=$((figures + 1))
    if ! grep -qwF -- "$figure" doc/benchmarks.md; then
        problem "$document quotes $figure, which doc/benchmarks.md does not hold"
    fi
done < <({
    awk '/^## / { inside = ($0 == "## Benchmarks") } inside' README.md | grep -oE "$figure_pattern" |
        sed 's/^/README.md\t/' || true
    for document in README.md doc/*.md; do
        [ "$document" != doc/benchmarks.md ] || continue
        awk 'BEGIN { RS = "" } /benchmarks\.md/' "$document" | grep -oE "$figure_pattern" |
            sed "s|^|$document\t|" || true
    done
} | sort -u)

echo "doc-check: $links links, $paths installed paths, $options options, $figures figures checked"
if [ "$problems" -gt 0 ]; then
    echo "doc-check: $problems problem(s) found"
    exit 1
fi
echo "doc-check: the documents hold"
