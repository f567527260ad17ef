# Sourced by scripts/demo and the benchmark scripts: a work folder and
# background processes that are cleaned up when the script exits, free ports,
# and the nginx and vsftpd configurations for serving files on 127.0.0.1.

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
  work="$(mktemp -d "/tmp/$1.XXXXXX")"
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

# nginx_conf DIR PORT ROOT [SERVER_LINES]: writes DIR/nginx.conf for a server
# of ROOT on 127.0.0.1:PORT in the foreground, with every path inside DIR.
nginx_conf() {
  mkdir -p "$1/nginx-tmp"
  cat >"$1/nginx.conf" <<CONF
daemon off;
master_process off;
worker_processes 1;
error_log $1/nginx-error.log;
pid $1/nginx.pid;
events { worker_connections 1024; }
http {
  access_log off;
  sendfile on;
  client_body_temp_path $1/nginx-tmp/body;
  proxy_temp_path $1/nginx-tmp/proxy;
  fastcgi_temp_path $1/nginx-tmp/fastcgi;
  uwsgi_temp_path $1/nginx-tmp/uwsgi;
  scgi_temp_path $1/nginx-tmp/scgi;
  types { text/html html; application/pdf pdf; application/zip zip; application/gzip gz; }
  default_type application/octet-stream;
  server {
    listen 127.0.0.1:$2;
    root $3;
    ${4:-}
  }
}
CONF
}

# vsftpd_conf DIR PORT ROOT [EXTRA_LINES]: writes DIR/vsftpd.conf for an
# anonymous, read-only server of ROOT on 127.0.0.1:PORT in the foreground.
vsftpd_conf() {
  mkdir -p "$1/vsftpd-empty"
  cat >"$1/vsftpd.conf" <<CONF
listen=YES
listen_ipv6=NO
listen_address=127.0.0.1
listen_port=$2
background=NO
run_as_launching_user=YES
seccomp_sandbox=NO
secure_chroot_dir=$1/vsftpd-empty
anonymous_enable=YES
local_enable=NO
anon_root=$3
no_anon_password=NO
write_enable=NO
pasv_enable=YES
port_enable=YES
connect_from_port_20=NO
xferlog_enable=NO
${4:-}
CONF
}
