# Makes the Debian change log from NEWS.md: an entry for each
# "## VERSION (YYYY-MM-DD)" heading, whose "- " items, with the lines indented
# under them, become the entry's points; backquotes are dropped, other text
# is left out.
# Usage: awk -v maintainer="Name <mail>" -f changelog.awk NEWS.md
function weekday(year, month, day,    offsets) {
    split("0 3 2 5 0 3 5 1 4 6 2 4", offsets, " ")
    if (month < 3) year--
    return (year + int(year / 4) - int(year / 100) + int(year / 400) + offsets[month] + day) % 7
}
function close_entry() {
    if (version != "") printf "\n -- %s  %s\n", maintainer, released
}
/^## / {
    close_entry()
    if (version != "") print ""
    version = $2
    split(substr($3, 2, 10), date, "-")
    released = sprintf("%s, %s %s %s 00:00:00 +0000",
                       substr("SunMonTueWedThuFriSat", weekday(date[1] + 0, date[2] + 0, date[3] + 0) * 3 + 1, 3),
                       date[3], substr("JanFebMarAprMayJunJulAugSepOctNovDec", (date[2] - 1) * 3 + 1, 3),
                       date[1])
    printf "vqdnc (%s) unstable; urgency=medium\n\n", version
    item = 0
    next
}
version == "" { next }
/^- / { gsub(/`/, ""); print "  * " substr($0, 3); item = 1; next }
/^  [^ ]/ && item { gsub(/`/, ""); print "    " substr($0, 3); next }
{ item = 0 }
END { close_entry() }
