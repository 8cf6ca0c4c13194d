#!/bin/sh
# The transfer component's layers, as its folders show them: the core
# includes nothing of an engine, and each engine nothing of the other or of
# the component above. A quoted include must name a header of the file's own
# folder or of a folder below it; libcurl's headers belong to the FTP engine
# (and to the component, which explains its codes).
set -eu
transfer=${1:?usage: layers.sh TRANSFER_DIR}
broken=0

check() { # folder, the folders its quoted includes may come from, angle includes it may not use
    folder=$1 allowed=$2 banned=$3
    for hit in $(cd "$transfer/$folder" && grep -Ho '^[[:space:]]*#[[:space:]]*include[[:space:]]*[<"][^>"]*' -- *.h *.cpp | tr -d ' \t'); do
        file=${hit%%:*} header=${hit#*#include}
        case $header in
        \"*)
            found=no
            for dir in $allowed; do
                [ -f "$transfer/$dir/${header#\"}" ] && found=yes
            done
            [ $found = yes ] && continue
            echo "$folder/$file: $header\": not a header $folder/ may use" ;;
        \<*)
            [ -n "$banned" ] && printf '%s\n' "${header#<}" | grep -Eq "^($banned)" || continue
            echo "$folder/$file: $header>: an engine's header in $folder/" ;;
        esac
        broken=$((broken + 1))
    done
}

check core "core" "curl/|libssh"
check ftp "ftp core" "libssh"
check sftp "sftp core" "curl/"
check . ". core ftp sftp" ""
if [ $broken -gt 0 ]; then
    echo "layers broken: $broken includes" >&2
    exit 1
fi
echo "layers hold"
