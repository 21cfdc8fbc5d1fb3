#!/usr/bin/env bash
# Checks the deployment folder of the Windows build:
#   - it holds Updater.exe and exactly the runtime libraries named, nothing else;
#   - every DLL that Updater.exe loads, directly or through those libraries, is either one of them
#     or a Windows system library, and each named library is really loaded;
#   - Updater.exe carries the asInvoker manifest and the version resource;
#   - no deployed file carries debug information or a symbol table (they are stripped; the debug
#     information is kept in the build's symbols directory);
#   - with --run, the deployed Updater.exe starts from that folder (under the given emulator) and
#     ends with the exit code and log line of a command line without update arguments;
#   - with --programs, every program in that directory (the build's, which the tests start) loads
#     only system libraries and libraries that lie beside it. A missing one shows at run time only
#     as exit code 53, so a helper program that cannot start would otherwise look like one that
#     never did its work.
#
# check-deployment.sh OBJDUMP DEPLOY_DIR [--run EMULATOR] [--programs DIR] [LIBRARY...]
set -euo pipefail

objdump=$1
deploy_dir=$2
shift 2
emulator=""
if [[ "${1:-}" == --run ]]; then
    emulator=$2
    shift 2
fi
programs_dir=""
if [[ "${1:-}" == --programs ]]; then
    programs_dir=$2
    shift 2
fi
expected_libraries=("$@")

failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

lower() { tr '[:upper:]' '[:lower:]'; }

# The DLLs that Windows itself provides and that the updater or Qt Core may import.
system_library() {
    case "$(lower <<<"$1")" in
    api-ms-win-* | ext-ms-* | kernel32.dll | kernelbase.dll | ntdll.dll | advapi32.dll | \
        user32.dll | shell32.dll | shlwapi.dll | ole32.dll | oleaut32.dll | version.dll | \
        userenv.dll | netapi32.dll | mpr.dll | authz.dll | winmm.dll | ws2_32.dll | \
        wintrust.dll | crypt32.dll | bcrypt.dll | secur32.dll | rpcrt4.dll | msvcrt.dll | \
        ucrtbase.dll | gdi32.dll | comdlg32.dll | dwmapi.dll | uxtheme.dll | imm32.dll)
        return 0
        ;;
    esac
    return 1
}

imports_of() {
    "$objdump" -p "$1" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr -d '\r'
}

# 1. The folder's contents.
actual=$(cd "$deploy_dir" && find . -mindepth 1 -printf '%P\n' | sort)
wanted=$(printf '%s\n' Updater.exe "${expected_libraries[@]}" | sort)
if [[ "$actual" != "$wanted" ]]; then
    fail "the deployment folder holds"$'\n'"$actual"$'\n'"instead of"$'\n'"$wanted"
fi

# 2. The import closure, walked from Updater.exe over the files of the folder.
declare -A loaded=()
queue=(Updater.exe)
while ((${#queue[@]} > 0)); do
    file=${queue[0]}
    queue=("${queue[@]:1}")
    [[ -f "$deploy_dir/$file" ]] || continue
    while read -r dll; do
        [[ -n "$dll" ]] || continue
        if system_library "$dll"; then
            continue
        fi
        local_name=$(cd "$deploy_dir" && find . -maxdepth 1 -iname "$dll" -printf '%P\n')
        if [[ -z "$local_name" ]]; then
            fail "$file loads $dll, which is neither deployed nor a system library"
        elif [[ -z "${loaded[$local_name]:-}" ]]; then
            loaded[$local_name]=1
            queue+=("$local_name")
        fi
    done < <(imports_of "$deploy_dir/$file")
done
for library in "${expected_libraries[@]}"; do
    [[ -n "${loaded[$library]:-}" ]] || fail "$library is deployed but nothing loads it"
done

# 3. Resources: the manifest is UTF-8 text in the file, the version strings are UTF-16LE (compared
# as hexadecimal, since the shell's strings cannot hold their zero bytes).
if ! grep -aq 'level="asInvoker"' "$deploy_dir/Updater.exe"; then
    fail "Updater.exe has no asInvoker manifest"
fi
hex() { od -An -tx1 -v | tr -d ' \n'; }
program_hex=$(mktemp)
trap 'rm -f "$program_hex"' EXIT
hex <"$deploy_dir/Updater.exe" >"$program_hex"
for text in "ProductName" "Quindlebrookware Updater" "ProductVersion" "1.0.0"; do
    text_hex=$(printf '%s' "$text" | iconv -f UTF-8 -t UTF-16LE | hex)
    if ! grep -qF "$text_hex" "$program_hex"; then
        fail "Updater.exe has no version resource text \"$text\""
    fi
done

# 3b. Stripped: no debug sections, no symbol table.
for file in "$deploy_dir"/*; do
    if "$objdump" -h "$file" | grep ' \.debug_' >/dev/null; then
        fail "$(basename "$file") carries debug information"
    fi
    if "$objdump" -t "$file" 2>/dev/null | grep '^\[' >/dev/null; then
        fail "$(basename "$file") carries a symbol table"
    fi
done

# 4. A start from the folder: a temporary copy without update arguments refuses its command line.
if [[ -n "$emulator" ]]; then
    temp=$(mktemp -d "${TMPDIR:-/tmp}/deployment.XXXXXX")
    set +e
    TEMP=$temp TMP=$temp TMPDIR=$temp "$emulator" "$deploy_dir/Updater.exe" --temporary-copy
    code=$?
    set -e
    [[ $code -eq 1 ]] || fail "the deployed Updater.exe exited with $code instead of 1"
    if ! grep -qF '] Invalid command-line arguments.' "$temp/Vexta-Updater.log" 2>/dev/null; then
        fail "the deployed Updater.exe did not log its refusal in $temp/Vexta-Updater.log"
    fi
    rm -rf "$temp"
fi

# 5. The build's programs start from their own directory.
if [[ -n "$programs_dir" ]]; then
    for program in "$programs_dir"/*.exe; do
        while read -r dll; do
            [[ -n "$dll" ]] || continue
            if ! system_library "$dll" && [[ -z "$(find "$programs_dir" -maxdepth 1 -iname "$dll")" ]]; then
                fail "$(basename "$program") loads $dll, which lies neither beside it nor in the system"
            fi
        done < <(imports_of "$program")
    done
fi

if ((failures > 0)); then
    echo "$failures deployment check(s) failed" >&2
    exit 1
fi
echo "deployment of $deploy_dir: Updater.exe ${expected_libraries[*]}: all checks passed"
