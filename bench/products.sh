# Sourced by bench_session.sh and bench_update.sh: timing helpers and the products they serve.
now() { date +%s.%N; }
elapsed() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f\n", b - a }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f\n", a / b }'; }
best() { sort -n | head -1; }

# A product: files below ROOT/12/data/ (COUNT of BYTES_EACH, plus up to VARY_BYTES more each)
# and the index ROOT/12/vm3.ini.
make_product() { # root count bytes_each vary_bytes
    local root=$1 count=$2 size=$3 vary=$4 i name len sum
    mkdir -p "$root/12/data"
    {
        echo "[data]"
        for ((i = 0; i < count; i++)); do
            name=$(printf 'f%05d.bin' "$i")
            len=$((size + (vary > 0 ? ((i * 37) % 100) * vary / 100 : 0)))
            head -c "$len" /dev/urandom >"$root/12/data/$name"
            sum=$(md5sum "$root/12/data/$name" | cut -d' ' -f1)
            echo "$name=$sum::$len"
        done
    } >"$root/12/vm3.ini"
    chmod -R a+rX "$root"
}

# The aria2c input file with the product's URLs below URLBASE and its checksums.
aria_input() { # root urlbase
    local root=$1 base=$2 line name rest sum
    while IFS= read -r line; do
        case $line in \[*\] | "") continue ;; esac
        name=${line%%=*}
        rest=${line#*=}
        sum=${rest%%::*}
        printf '%s/12/data/%s\n  out=data/%s\n  checksum=md5=%s\n' "$base" "$name" "$name" "$sum"
    done <"$root/12/vm3.ini"
}
