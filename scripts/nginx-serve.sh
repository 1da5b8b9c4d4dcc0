#!/usr/bin/env bash
# Serves one file over TLS from a private nginx on loopback.
#
#   nginx-serve.sh start WORKDIR PORT FILE CERT KEY [--etag VALUE|--no-etag]
#                  [--crc VALUE|--no-crc] [--rate BYTES_PER_SECOND]
#   nginx-serve.sh stop WORKDIR
#
# start writes its config, pid file, logs and temp folders under WORKDIR,
# listens on 127.0.0.1:PORT and [::1]:PORT and serves FILE at
# /Download/Micro/TalvoroLauncher.exe with ranges. By default the ETag is
# nginx's own and no CRC header is sent; --crc VALUE adds
# "x-oss-hash-crc64ecma: VALUE" (compute it with the talvoro-crc64 tool).
# It returns once the port answers and prints nothing on success.
# stop ends exactly the nginx whose pid file is in WORKDIR.
set -euo pipefail

usage() {
  sed -n '4,6p' "$0" | sed 's/^# \{0,3\}//' >&2
  exit 2
}

nginx_bin=${NGINX:-/usr/sbin/nginx}

# Absolute form of a path (the file need not exist yet).
absolute() { case $1 in /*) echo "$1" ;; *) echo "$PWD/$1" ;; esac; }

# Quotes a value for the nginx config.
quote() {
  case $1 in *"'"* | *\\*) echo "unusable value: $1" >&2; exit 2 ;; esac
  printf "'%s'" "$1"
}

start() {
  [ $# -ge 5 ] || usage
  local workdir port file cert key
  workdir=$(absolute "$1") port=$2 file=$(absolute "$3")
  cert=$(absolute "$4") key=$(absolute "$5")
  shift 5
  local etag_lines="etag on;" crc_line="" rate_line=""
  while [ $# -gt 0 ]; do
    case $1 in
      --etag) [ $# -ge 2 ] || usage
              etag_lines="etag off; add_header ETag $(quote "$2") always;"
              shift 2 ;;
      --no-etag) etag_lines="etag off;"; shift ;;
      --crc) [ $# -ge 2 ] || usage
             crc_line="add_header x-oss-hash-crc64ecma $(quote "$2") always;"
             shift 2 ;;
      --no-crc) crc_line=""; shift ;;
      --rate) [ $# -ge 2 ] || usage
              rate_line="limit_rate $2;"; shift 2 ;;
      *) usage ;;
    esac
  done
  case $port in '' | *[!0-9]*) usage ;; esac
  [ -f "$file" ] || { echo "no such file: $file" >&2; exit 1; }

  mkdir -p "$workdir/tmp"
  if [ -f "$workdir/nginx.pid" ] && kill -0 "$(cat "$workdir/nginx.pid")" 2>/dev/null; then
    echo "an nginx already runs for $workdir" >&2
    exit 1
  fi
  # Workers of an nginx started by root would otherwise run as "nobody" and
  # might not reach FILE.
  local user_line=""
  [ "$(id -u)" -eq 0 ] && user_line="user root;"
  # ::1 only where the machine has IPv6 loopback (some containers lack it).
  local listen_v6=""
  if [ -s /proc/net/if_inet6 ]; then
    listen_v6="listen [::1]:$port ssl;"
  fi

  cat > "$workdir/nginx.conf" <<CONF
$user_line
daemon on;
worker_processes 1;
pid $(quote "$workdir/nginx.pid");
error_log $(quote "$workdir/error.log") warn;
events { worker_connections 64; }
http {
  access_log $(quote "$workdir/access.log");
  client_body_temp_path $(quote "$workdir/tmp/body");
  proxy_temp_path $(quote "$workdir/tmp/proxy");
  fastcgi_temp_path $(quote "$workdir/tmp/fastcgi");
  uwsgi_temp_path $(quote "$workdir/tmp/uwsgi");
  scgi_temp_path $(quote "$workdir/tmp/scgi");
  default_type application/octet-stream;
  server {
    listen 127.0.0.1:$port ssl;
    $listen_v6
    server_name localhost;
    ssl_certificate $(quote "$cert");
    ssl_certificate_key $(quote "$key");
    ssl_protocols TLSv1.2 TLSv1.3;
    location = /Download/Micro/TalvoroLauncher.exe {
      alias $(quote "$file");
      $etag_lines
      $crc_line
      $rate_line
    }
  }
}
CONF
  "$nginx_bin" -p "$workdir" -c "$workdir/nginx.conf" -e "$workdir/error.log"
  local i
  for i in $(seq 100); do
    if (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
      return 0
    fi
    sleep 0.05
  done
  echo "nginx did not answer on port $port" >&2
  stop "$workdir"
  exit 1
}

stop() {
  [ $# -eq 1 ] || usage
  local workdir pid i
  workdir=$(absolute "$1")
  [ -f "$workdir/nginx.pid" ] || return 0
  pid=$(cat "$workdir/nginx.pid")
  kill "$pid" 2>/dev/null || true
  for i in $(seq 100); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.05
  done
  rm -f "$workdir/nginx.pid"
}

[ $# -ge 1 ] || usage
command=$1
shift
case $command in
  start) start "$@" ;;
  stop) stop "$@" ;;
  *) usage ;;
esac
