# SPDX-License-Identifier: MIT
# Turns CHANGELOG.md into the changelog of a native Debian package, or with format=rpm into
# an RPM spec's %changelog. Each section headed "## VERSION (YYYY-MM-DD)" becomes one entry;
# its "- " items, with their indented continuation lines, become the entry's items.
#   awk -v package=NAME -v maintainer="NAME <ADDRESS>" [-v format=rpm -v release=N] \
#       -f package-changelog.awk CHANGELOG.md

# Day of the week by Zeller's congruence: 0 is Saturday.
function weekday(year, month, day) {
    if (month < 3) {
        month += 12
        year--
    }
    return (day + int(13 * (month + 1) / 5) + year + int(year / 4) - int(year / 100) + \
            int(year / 400)) % 7
}

function end_entry() {
    if (date != "" && format != "rpm") {
        printf "\n -- %s  %s\n", maintainer, date
    }
}

BEGIN {
    split("Sat Sun Mon Tue Wed Thu Fri", day_names, " ")
    split("Jan Feb Mar Apr May Jun Jul Aug Sep Oct Nov Dec", month_names, " ")
    item = format == "rpm" ? "- " : "  * "
    continued = format == "rpm" ? "  " : "    "
    # Releases of one day are told apart by the minute, since Debian's entries must be ever
    # later: the day's first at 00:00, each later one a minute after the one before it.
    heading = "^## [^ ]+ \\([0-9]+-[0-9]+-[0-9]+\\)$"
    while ((getline line < ARGV[ARGC - 1]) > 0) {
        if (line ~ heading) {
            split(line, words, " ")
            releases_on[words[3]]++
        }
    }
    close(ARGV[ARGC - 1])
}

$0 ~ heading {
    end_entry()
    if (date != "") {
        print ""
    }
    split(substr($3, 2, 10), ymd, "-")
    day_name = day_names[weekday(ymd[1] + 0, ymd[2] + 0, ymd[3] + 0) + 1]
    month_name = month_names[ymd[2] + 0]
    if (format == "rpm") {
        date = sprintf("%s %s %s %s", day_name, month_name, ymd[3], ymd[1])
        printf "* %s %s - %s-%s\n", date, maintainer, $2, release
    } else {
        date = sprintf("%s, %s %s %s 00:%02d:00 +0000", day_name, ymd[3], month_name, ymd[1],
                       --releases_on[$3])
        printf "%s (%s) unstable; urgency=medium\n\n", package, $2
    }
    next
}
date != "" && /^- / { print item substr($0, 3); next }
date != "" && /^  [^ ]/ { print continued substr($0, 3); next }

END { end_entry() }
