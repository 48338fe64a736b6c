#!/usr/bin/env bash
# Makes the signed test files of the trust tests into OUT from a built DLL,
# with the PKI that make-certs.sh made in CERTS. No network: time stamps come
# from osslsigncode's built-in time-stamp authority, at times set by faketime.
set -euo pipefail
out=${1:?output folder}
certs=${2:?certificate folder}
payload=${3:?DLL to sign}
mkdir -p "$out"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

sign() { # signer in out [faketime-date [time-stamp authority]]
    local signer=$1 in=$2 dest=$3 when=${4:-} stamp=${5:-}
    local args=(sign -certs "$certs/$signer.chain.pem" -key "$certs/$signer.key" -h sha256)
    if [ -n "$stamp" ]; then
        args+=(-TSA-certs "$certs/$stamp.chain.pem" -TSA-key "$certs/$stamp.key"
               -TSA-time "$(date -u -d "$when" +%s)")
    fi
    rm -f "$dest"
    if [ -n "$when" ]; then
        faketime "$when" osslsigncode "${args[@]}" -in "$in" -out "$dest" >/dev/null
    else
        osslsigncode "${args[@]}" -in "$in" -out "$dest" >/dev/null
    fi
}

cp "$payload" "$out/unsigned.dll"
sign signer "$payload" "$out/valid.dll"
sign signer "$payload" "$out/valid-ts.dll" "2020-03-01 12:00:00" tsa
sign other-signer "$payload" "$out/other-signer.dll"
sign rogue-signer "$payload" "$out/rogue-signer.dll"
sign list-signer "$payload" "$out/list-signer.dll"
# Signed while the certificate was valid; one copy carries a time stamp.
sign expired-signer "$payload" "$out/expired.dll" "2016-06-01 12:00:00"
sign expired-signer "$payload" "$out/expired-ts.dll" "2016-06-01 12:00:00" tsa
# Stamps that prove nothing: an authority the machine does not trust, one not
# allowed to stamp, and a stamp made for another signature of the same signer.
sign expired-signer "$payload" "$out/expired-rogue-ts.dll" "2016-06-01 12:00:00" rogue-tsa
sign expired-signer "$payload" "$out/expired-restricted-ts.dll" "2016-06-01 12:00:00" restricted-tsa
sign expired-signer "$payload" "$work/donor.dll" "2016-07-01 12:00:00" tsa
stamp() { python3 "$(dirname "$0")/stamp.py" "$@"; }
stamp graft "$out/expired-ts.dll" "$work/donor.dll" "$out/expired-copied-ts.dll"
stamp spoil "$out/expired-ts.dll" "$out/expired-spoiled-ts.dll"
# The same with Authenticode counter-signatures in place of RFC 3161 tokens.
countersign() { # authority in out time [key]
    stamp countersign "$2" "$certs/${5:-$1}.key" "$certs/$1.chain.pem" "$4" "$3"
}
countersign tsa "$out/expired.dll" "$out/expired-cs.dll" 160601120000Z
# Made with another key than the trusted authority's it names.
countersign tsa "$out/expired.dll" "$out/expired-forged-cs.dll" 160601120000Z rogue-tsa
countersign rogue-tsa "$out/expired.dll" "$out/expired-rogue-cs.dll" 160601120000Z
countersign restricted-tsa "$out/expired.dll" "$out/expired-restricted-cs.dll" 160601120000Z
sign expired-signer "$payload" "$work/unstamped-donor.dll" "2016-07-01 12:00:00"
countersign tsa "$work/unstamped-donor.dll" "$work/cs-donor.dll" 160701120000Z
stamp graft "$out/expired-cs.dll" "$work/cs-donor.dll" "$out/expired-copied-cs.dll"
# One byte of the DOS stub changed: still a loadable image, wrong digest.
cp "$out/valid.dll" "$out/tampered.dll"
printf 'X' | dd of="$out/tampered.dll" bs=1 seek=96 conv=notrunc status=none

# Cabinets carrying a signer list. The list files are marked as signed for
# the tests' stand-in of the list signature check.
root=$(openssl x509 -in "$certs/test-root.crt" -noout -fingerprint -sha1 | sed 's/.*=//; s/://g')
list() { # version signer-name [marker]
    printf '/* signer list */\r\n[VER]\r\n%s\r\n[ORG]\r\n%s\r\n[SHA]\r\n%s\r\n%s\r\n' \
        "$1" "$2" "$root" "${3:-// SIG // vantrel-test-list}"
}
cab() { # name signer version list-name [marker]
    local dir="$work/$1"
    mkdir -p "$dir"
    list "$3" "$4" "${5:-}" > "$dir/trusted.js"
    printf 'not a list\r\n' > "$dir/readme.txt"
    (cd "$dir" && gcab -c "$work/$1.cab" readme.txt trusted.js)
    sign "$2" "$work/$1.cab" "$out/$1.cab"
}
cab list-v7 signer 7 "Vantrel Test Signer"
cab list-v5 signer 5 "Vantrel Test Signer"
cab other-v7 other-signer 7 "Vantrel Other Signer"
cab other-v8 other-signer 8 "Vantrel Other Signer"
cab unsigned-list-v9 signer 9 "Vantrel Test Signer" "// SIG // forged"
# A list stored read-only, hidden and system: attribute bits 0x27 written
# into the file entry, which gcab always stores as 0x20.
mkdir -p "$work/readonly"
list 7 "Vantrel Test Signer" > "$work/readonly/trusted.js"
(cd "$work/readonly" && gcab -c "$work/readonly.cab" trusted.js)
files=$(od -An -t u4 -j 16 -N 4 "$work/readonly.cab" | tr -d ' ')
printf '\x27\x00' | dd of="$work/readonly.cab" bs=1 seek=$((files + 14)) conv=notrunc status=none
sign signer "$work/readonly.cab" "$out/readonly-v7.cab"
mkdir -p "$work/nolist" && printf 'x\r\n' > "$work/nolist/readme.txt"
(cd "$work/nolist" && gcab -c "$work/nolist.cab" readme.txt)
sign signer "$work/nolist.cab" "$out/nolist.cab"
touch "$out/stamp"
