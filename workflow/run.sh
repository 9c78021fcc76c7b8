#!/usr/bin/env bash
# Runs the workflow, and picks up where an interrupted run stopped:
#
#   workflow/run.sh --configfile my-config.yaml --cores 4 [snakemake options...]
#
# The options are snakemake's; -s workflow/Snakefile is added unless one is
# given. A run stopped by Ctrl-C or SIGTERM cleans up after itself, but one
# killed hard (kill -9, a power loss, a lost login node) leaves snakemake's
# lock and the files of its unfinished jobs behind, and snakemake then
# refuses to start. This script unlocks a lock that no running snakemake
# holds and always reruns unfinished jobs (--rerun-incomplete); a lock held
# by a live run, or by a run on another machine, is left alone.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)

dir=.
snakefile=()
args=("$@")
for ((i = 0; i < ${#args[@]}; i++)); do
    case ${args[i]} in
        -d | --directory) dir=${args[i + 1]:-.} ;;
        --directory=*) dir=${args[i]#*=} ;;
        -s | --snakefile | --snakefile=*) snakefile=(none) ;;
    esac
done
if [ ${#snakefile[@]} -gt 0 ]; then
    snakefile=()
else
    snakefile=(-s "$here/Snakefile")
fi

state="$dir/.snakemake"
owner="$state/morvane-run.owner"
host=$(uname -n)

# A snakemake process working in $dir, other than this script's own.
live_snakemake() {
    local target proc
    target=$(cd "$dir" && pwd -P)
    for proc in /proc/[0-9]*; do
        [ "${proc#/proc/}" = $$ ] && continue
        [ "$(readlink "$proc/cwd" 2>/dev/null)" = "$target" ] || continue
        [[ $(tr '\0' ' ' <"$proc/cmdline" 2>/dev/null) == *snakemake* ]] && return 0
    done
    return 1
}

if [ -n "$(ls -A "$state/locks" 2>/dev/null)" ]; then
    stale=yes
    if [ -f "$owner" ]; then
        read -r owner_host owner_pid <"$owner" || true
        if [ "$owner_host" != "$host" ]; then
            echo "morvane workflow: $dir is locked by a run on $owner_host; if that run has ended," \
                 "unlock it with: snakemake ${snakefile[*]} $* --unlock" >&2
            exit 1
        fi
        kill -0 "$owner_pid" 2>/dev/null && stale=no
    fi
    live_snakemake && stale=no
    if [ $stale = no ]; then
        echo "morvane workflow: another run is working in $dir; wait for it to end" >&2
        exit 1
    fi
    echo "morvane workflow: removing the lock of an interrupted run in $dir" >&2
    snakemake "${snakefile[@]}" "$@" --unlock >/dev/null
fi

mkdir -p "$state"
echo "$host $$" >"$owner"
trap 'rm -f "$owner"' EXIT
snakemake "${snakefile[@]}" --rerun-incomplete "$@"
