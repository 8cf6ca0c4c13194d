#!/bin/sh
# The program's layers, as its folders show them. A quoted include must name
# a header of the file's own folder or of a folder below it:
#   transfer/core/  the core: no engine
#   transfer/ftp/   the FTP engine: the core
#   transfer/sftp/  the SFTP engine: the core
#   transfer/       the component: the core and both engines
#   upload/         the component and its core, whose types the component's
#                   headers carry (a job, a report, a destination's text);
#                   never an engine's folder
#   window/         upload/, and the same as upload/
# libcurl's headers belong to the FTP engine (and to the component, which
# sets libcurl up and explains its codes); no folder above the component
# names them.
#
# Usage: layers.sh SOURCE_DIR        checks the tree
#        layers.sh -t SOURCE_DIR     checks that the check fails on planted
#                                    leaks, each in a copy of the tree
set -eu

check_tree() { # source dir; prints each crossing include, fails if any
    tree=$1
    broken=0
    check() { # folder, the folders its quoted includes may come from, the angle includes it may not use
        folder=$1 allowed=$2 banned=$3
        for hit in $(cd "$tree/$folder" && grep -Ho '^[[:space:]]*#[[:space:]]*include[[:space:]]*[<"][^>"]*' -- *.h *.cpp 2>/dev/null | tr -d ' \t'); do
            file=${hit%%:*} header=${hit#*#include}
            case $header in
            \"*)
                found=no
                for dir in $allowed; do
                    [ -f "$tree/$dir/${header#\"}" ] && found=yes
                done
                [ $found = yes ] && continue
                echo "$folder/$file: $header\": not a header $folder/ may use" ;;
            \<*)
                found=no
                for prefix in $banned; do
                    case ${header#<} in "$prefix"*) found=yes ;; esac
                done
                [ $found = yes ] || continue
                echo "$folder/$file: $header>: an engine's header in $folder/" ;;
            esac
            broken=$((broken + 1))
        done
    }
    check transfer/core "transfer/core" "curl/ libssh"
    check transfer/ftp "transfer/ftp transfer/core" "libssh"
    check transfer/sftp "transfer/sftp transfer/core" "curl/"
    check transfer "transfer transfer/core transfer/ftp transfer/sftp" ""
    check upload "upload transfer transfer/core" "curl/ libssh"
    check window "window upload transfer transfer/core" "curl/ libssh"
    if [ $broken -gt 0 ]; then
        echo "layers broken: $broken includes" >&2
        return 1
    fi
    echo "layers hold"
}

# Plants `line` at the top of `file` in a copy of the tree; the check must
# fail on it.
plant() { # source dir, file, line
    copy=$(mktemp -d)
    for dir in transfer upload window; do
        cp -R "$1/$dir" "$copy/$dir"
    done
    printf '%s\n' "$3" | cat - "$1/$2" >"$copy/$2"
    if check_tree "$copy" >/dev/null 2>&1; then
        echo "not caught: $3 in $2" >&2
        rm -rf "$copy"
        return 1
    fi
    echo "caught: $3 in $2"
    rm -rf "$copy"
}

if [ "${1:-}" = -t ]; then
    source=${2:?usage: layers.sh -t SOURCE_DIR}
    check_tree "$source" >/dev/null
    plant "$source" transfer/core/PublishReport.h '#include <curl/curl.h>'
    plant "$source" transfer/core/Learnt.cpp '#include "FtpServerLearnt.h"'
    plant "$source" transfer/sftp/SshCommand.cpp '#include <curl/curl.h>'
    plant "$source" transfer/ftp/FtpUrl.cpp '#include "SshCommand.h"'
    plant "$source" upload/Destination.cpp '#include <curl/curl.h>'
    plant "$source" window/main.cpp '#include "FtpPublishSession.h"'
    plant "$source" window/main.cpp '#include "AskPass.h"'
    echo "every planted leak was caught"
    exit 0
fi
check_tree "${1:?usage: layers.sh SOURCE_DIR}"
