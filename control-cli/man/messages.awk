# Turns the table of messages (messages.md: a Markdown table, its header row first) into man(7)
# tagged paragraphs for the client's manual page. Cells hold plain text and `code`; a `\|`
# stands for a `|`.
# POSIX awk only: macOS builds run it with its own awk.
function replace_all(text, from, to,    out, at) {
    out = ""
    while ((at = index(text, from)) > 0) {
        out = out substr(text, 1, at - 1) to
        text = substr(text, at + length(from))
    }
    return out text
}
function roff(text,    out, code) {
    sub(/^[ \t]+/, "", text)
    sub(/[ \t]+$/, "", text)
    text = replace_all(text, "\\", "\\e")
    text = replace_all(text, "\001", "|")
    text = replace_all(text, "\342\200\246", "...")
    out = ""
    while (match(text, /`[^`]*`/)) {
        code = substr(text, RSTART + 1, RLENGTH - 2)
        out = out substr(text, 1, RSTART - 1) "\\fB" replace_all(code, "-", "\\-") "\\fR"
        text = substr(text, RSTART + RLENGTH)
    }
    out = out text
    if (out ~ /^[.']/) {
        out = "\\&" out
    }
    return out
}
/^\|/ && !/^\|---/ {
    line = replace_all($0, "\\|", "\001")
    if (split(line, cell, "|") != 7) {
        print FILENAME ": a row of the messages table has not five cells: " $0 > "/dev/stderr"
        failed = 1
        exit 1
    }
    if (++rows == 1) {
        next
    }
    print ".TP"
    print roff(cell[2])
    print roff(cell[3]) ": " roff(cell[4])
    print ".br"
    print "Carried out? " roff(cell[5])
    print ".br"
    print roff(cell[6])
}
END {
    if (!failed && rows < 2) {
        print FILENAME ": no table of messages" > "/dev/stderr"
        exit 1
    }
}
