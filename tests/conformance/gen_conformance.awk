# Reads zq/tapi_posix.h and writes the checks that compare each of its
# declarations with the SDK's (included by tapi_conformance.cpp, one section
# at a time). Usage: awk -v out=FILE -f gen_conformance.awk tapi_posix.h
#
# The header is written in a regular shape (one #define or field per line,
# structures as "typedef struct tag { ... } NAME, *LPNAME;"). Any top-level
# statement this script does not recognise stops the build, so nothing in the
# header goes unchecked.

function fail(msg) {
    printf "%s:%d: %s\n", FILENAME, FNR, msg > "/dev/stderr"
    failed = 1
    exit 1
}

function trim(s) {
    sub(/^[ \t]+/, "", s)
    sub(/[ \t]+$/, "", s)
    return s
}

# The declared name of a field or a plain typedef: the last identifier before
# an array bound or the semicolon.
function declared_name(s) {
    sub(/\[.*$/, "", s)
    sub(/;.*$/, "", s)
    s = trim(s)
    sub(/^.*[^A-Za-z0-9_]/, "", s)
    return s
}

function add_typedef(name) {
    if (name !~ /^[A-Za-z_][A-Za-z0-9_]*$/) fail("unreadable typedef name '" name "'")
    typedefs[++ntypedefs] = name
}

function add_twin(name) {
    twins[++ntwins] = name
}

function add_field(path, aggregate) {
    nfields++
    field_struct[nfields] = ""
    field_path[nfields] = path
    field_aggregate[nfields] = aggregate
}

function close_struct(line,    names, n, i, name) {
    line = trim(line)
    sub(/^\}/, "", line)
    sub(/;$/, "", line)
    n = split(line, names, ",")
    for (i = 1; i <= n; i++) {
        name = trim(names[i])
        sub(/^\*/, "", name)
        add_typedef(name)
        if (i == 1) {
            add_twin(name)
            structs[++nstructs] = name
            for (; struct_first_field <= nfields; struct_first_field++) field_struct[struct_first_field] = name
        }
    }
}

function statement(s,    name) {
    s = trim(s)
    if (s ~ /^typedef .*\(CALLBACK\* *[A-Za-z0-9_]+\)/) {
        name = s
        sub(/^[^(]*\(CALLBACK\* */, "", name)
        sub(/\).*$/, "", name)
        add_typedef(name)
    } else if (s ~ /^typedef /) {
        add_typedef(declared_name(s))
    } else if (s ~ /^ZQ_T(SPI|API)_EXPORT /) {
        name = s
        sub(/\(.*$/, "", name)
        name = declared_name(name ";")
        if (s ~ /^ZQ_TSPI_EXPORT / && name !~ /^T(UI)?SPI_/) fail("unexpected provider export '" name "'")
        if (s ~ /^ZQ_TAPI_EXPORT / && name !~ /^(line|tapi)[A-Z]/) fail("unexpected application export '" name "'")
        functions[++nfunctions] = name
    } else {
        fail("unrecognised declaration: " s)
    }
}

BEGIN {
    if (out == "") {
        print "gen_conformance.awk: set -v out=FILE" > "/dev/stderr"
        failed = 1
        exit 1
    }
}

{
    line = $0
    sub(/\/\/.*$/, "", line)
    sub(/[ \t]+$/, "", line)
}

# Continuation lines of a multi-line macro.
continued {
    continued = (line ~ /\\$/)
    next
}

line ~ /^#define / {
    name = $2
    if (name ~ /\(/) {
        sub(/\(.*$/, "", name)
    } else {
        value = trim(substr(line, index(line, name) + length(name)))
        if (value ~ /^[-(0-9]/) constants[++nconstants] = name
    }
    macros[++nmacros] = name
    continued = (line ~ /\\$/)
    next
}

line ~ /^#/ { next }

# Inside "struct NAME__ { int unused; };" (window and icon handles).
in_plain_struct {
    if (line ~ /^\};/) in_plain_struct = 0
    next
}

in_struct {
    s = trim(line)
    if (s == "") next
    if (s ~ /^(union|struct) *\{$/) {
        if (nested) fail("nesting deeper than one level")
        nested = 1
        ninner = 0
        next
    }
    if (s ~ /^\}/ && nested) {
        member = declared_name(substr(s, 2))
        add_field(member, 1)
        for (i = 1; i <= ninner; i++) add_field(member "." inner[i], 0)
        nested = 0
        next
    }
    if (s ~ /^\}/) {
        close_struct(s)
        in_struct = 0
        next
    }
    if (s !~ /;$/) fail("field not on one line: " s)
    if (nested) inner[++ninner] = declared_name(s)
    else add_field(declared_name(s), 0)
    next
}

line ~ /^typedef struct [A-Za-z0-9_]+ \{$/ {
    in_struct = 1
    struct_first_field = nfields + 1
    next
}

line ~ /^struct [A-Za-z0-9_]+ \{$/ {
    add_twin($2)
    in_plain_struct = 1
    next
}

line ~ /^DECLARE_OPAQUE\([A-Za-z0-9_]+\);$/ {
    name = line
    sub(/^DECLARE_OPAQUE\(/, "", name)
    sub(/\);$/, "", name)
    add_twin(name "__")
    add_typedef(name)
    next
}

line ~ /^DECLARE_OPAQUE32\([A-Za-z0-9_]+\);$/ {
    name = line
    sub(/^DECLARE_OPAQUE32\(/, "", name)
    sub(/\);$/, "", name)
    add_typedef(name)
    next
}

line ~ /^extern "C" \{$/ || line ~ /^\}$/ { next }

{
    s = trim(line)
    if (s == "" && pending == "") next
    pending = pending " " s
    if (s ~ /;$/) {
        statement(pending)
        pending = ""
    }
}

END {
    if (failed) exit 1
    if (pending != "") fail("unterminated declaration: " pending)
    if (in_struct || in_plain_struct) fail("unterminated structure")

    print "// Generated from zq/tapi_posix.h by gen_conformance.awk. Do not edit." > out
    printf "// %d constants, %d structures with %d fields, %d typedefs, %d functions.\n", \
        nconstants, nstructs, nfields, ntypedefs, nfunctions > out

    # Our functions get other names, so that their C linkage does not clash
    # with the SDK's declarations of the same functions.
    print "#if defined(ZQ_CONFORMANCE_RENAME)" > out
    for (i = 1; i <= nfunctions; i++) printf "#define %s ours_%s\n", functions[i], functions[i] > out

    print "#elif defined(ZQ_CONFORMANCE_CAPTURE)" > out
    for (i = 1; i <= nconstants; i++) printf "constexpr auto v_%s = %s;\n", constants[i], constants[i] > out

    print "#elif defined(ZQ_CONFORMANCE_UNDEF)" > out
    for (i = 1; i <= nfunctions; i++) printf "#undef %s\n", functions[i] > out
    for (i = 1; i <= nmacros; i++) printf "#undef %s\n", macros[i] > out

    print "#elif defined(ZQ_CONFORMANCE_CHECK)" > out
    for (i = 1; i <= ntwins; i++) printf "ZQ_TWIN(%s);\n", twins[i] > out
    for (i = 1; i <= ntypedefs; i++) printf "ZQ_CHECK_TYPEDEF(%s);\n", typedefs[i] > out
    for (i = 1; i <= nconstants; i++) printf "ZQ_CHECK_CONSTANT(%s);\n", constants[i] > out
    for (i = 1; i <= nstructs; i++) printf "ZQ_CHECK_STRUCT(%s);\n", structs[i] > out
    for (i = 1; i <= nfields; i++) {
        if (field_struct[i] == "") fail("field outside a structure: " field_path[i])
        printf "%s(%s, %s);\n", field_aggregate[i] ? "ZQ_CHECK_AGGREGATE_FIELD" : "ZQ_CHECK_FIELD", \
            field_struct[i], field_path[i] > out
    }
    for (i = 1; i <= nfunctions; i++) printf "ZQ_CHECK_FUNCTION(%s);\n", functions[i] > out
    print "#endif" > out
}
