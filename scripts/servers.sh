# Sourced by scripts/demo and the benchmark scripts: a work folder and
# background processes that are cleaned up when the script exits, free ports,
# the nginx and vsftpd configurations for serving files on 127.0.0.1, and a
# certificate authority of their own for https.

servers_pids=()
work=""

# Stops the processes last-started first (the program before its X server).
servers_cleanup() {
  local i pid
  for ((i = ${#servers_pids[@]} - 1; i >= 0; i--)); do
    pid="${servers_pids[$i]}"
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  [ -z "$work" ] || rm -rf "$work"
}

# servers_workdir NAME: creates $work, removed (with every started process
# stopped) when the script exits.
servers_workdir() {
  work="$(mktemp -d "${TMPDIR:-/tmp}/$1.XXXXXX")"
  chmod 755 "$work"
  trap servers_cleanup EXIT
}

# need_program NAME: its path, or a message and exit status 1.
need_program() {
  local p
  p="$(command -v "$1" || echo "/usr/sbin/$1")"
  [ -x "$p" ] || { echo "$1 is not installed (scripts/setup installs it)" >&2; exit 1; }
  echo "$p"
}

free_port() {
  python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'
}

port_open() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }

# wait_port PORT: up to ten seconds for something to accept on it.
wait_port() {
  local _
  for _ in $(seq 100); do port_open "$1" && return 0; sleep 0.1; done
  return 1
}

# start_bg LOG COMMAND...: runs COMMAND in the background, stopped at exit.
start_bg() {
  local log="$1"
  shift
  "$@" >"$log" 2>&1 &
  servers_pids+=($!)
}

# fill_template NAME OUTPUT KEY=VALUE...: writes OUTPUT from the template
# scripts/NAME.in (shared with the C++ test servers, tests/support/), each
# @KEY@ replaced by VALUE.
fill_template() {
  local text kv out="$2"
  text="$(<"$servers_templates/$1.in")"
  shift 2
  shopt -u patsub_replacement 2>/dev/null || true
  for kv in "$@"; do text="${text//@${kv%%=*}@/${kv#*=}}"; done
  printf '%s\n' "$text" >"$out"
}
servers_templates="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"

# nginx_conf DIR PORT ROOT [SERVER_LINES]: writes DIR/nginx.conf for a server
# of ROOT on 127.0.0.1:PORT in the foreground, with every path inside DIR. It
# sends files with sendfile, as the benchmarks want (the tests' servers do not).
nginx_conf() {
  mkdir -p "$1/nginx-tmp"
  fill_template nginx.conf "$1/nginx.conf" "DIR=$1" "LISTEN=$2" "ROOT=$3" "SERVER=sendfile on; ${4:-}"
}

# grow_archive ARCHIVE MEGABYTES: remakes the .zip or .tar.gz ARCHIVE with
# its .dat member replaced by MEGABYTES of random bytes (which do not
# compress), so that a download of it lasts long enough to be watched.
grow_archive() {
  local archive="$1" megabytes="$2" tmp dat
  tmp="$(mktemp -d "$work/grow.XXXXXX")"
  (cd "$tmp" && cmake -E tar xf "$archive")
  dat="$(find "$tmp" -name '*.dat' | head -n 1)"
  [ -n "$dat" ] || { echo "grow_archive: no .dat member in $archive" >&2; return 1; }
  head -c $((megabytes * 1024 * 1024)) /dev/urandom >"$dat"
  rm -f "$archive"
  case "$archive" in
    *.zip) (cd "$tmp" && cmake -E tar cf "$archive" --format=zip -- *) ;;
    *) (cd "$tmp" && cmake -E tar czf "$archive" --format=gnutar -- *) ;;
  esac
  rm -rf "$tmp"
}

# vsftpd_conf DIR PORT ROOT [EXTRA_LINES]: writes DIR/vsftpd.conf for an
# anonymous, read-only server of ROOT on 127.0.0.1:PORT in the foreground.
vsftpd_conf() {
  mkdir -p "$1/vsftpd-empty"
  fill_template vsftpd.conf "$1/vsftpd.conf" "DIR=$1" "PORT=$2" "ROOT=$3" "EXTRA=write_enable=NO
${4:-}"
}

# make_tls_cert DIR: makes a throw-away CA (DIR/ca.pem) and a certificate for
# 127.0.0.1 and localhost signed by it (DIR/server.pem, DIR/server.key), valid
# for two days. Clients trust the CA through --cacert or QUILLON_CA_FILE.
make_tls_cert() {
  local d="$1"
  openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout "$d/ca.key" -out "$d/ca.pem" \
    -days 2 -subj "/CN=Quillon local CA" -addext "basicConstraints=critical,CA:TRUE" \
    -addext "keyUsage=critical,keyCertSign,cRLSign" 2>/dev/null
  openssl req -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout "$d/server.key" -out "$d/server.csr" \
    -subj "/CN=localhost" 2>/dev/null
  printf 'subjectAltName=DNS:localhost,IP:127.0.0.1\nbasicConstraints=critical,CA:FALSE\nextendedKeyUsage=serverAuth\n' \
    >"$d/server.ext"
  openssl x509 -req -in "$d/server.csr" -CA "$d/ca.pem" -CAkey "$d/ca.key" -CAcreateserial -days 2 \
    -extfile "$d/server.ext" -out "$d/server.pem" 2>/dev/null
  chmod 644 "$d/server.key"
}

# nginx_tls_lines DIR PORT: server lines that add https on 127.0.0.1:PORT with
# the certificate of make_tls_cert DIR.
nginx_tls_lines() {
  echo "listen 127.0.0.1:$2 ssl; ssl_certificate $1/server.pem; ssl_certificate_key $1/server.key;"
}
