# Site layout, demo page and Apache config shared by scripts/demo and the
# server tests, so that what the tests check is what the demo serves.
# Source this file; it defines functions only.

LC_APACHE_MODULES=/usr/lib/apache2/modules
# Counters the demo page shows: name, style argument ("" for style 0), start value.
LC_DEMO_COUNTERS=("demo0::0" "demo1:1:41" "demo2:2:1233" "demo3:3:99997")

# The account Apache runs CGI programs as: it only switches users when root.
lc_server_user() {
  if [ "$(id -u)" -eq 0 ]; then echo www-data; else id -un; fi
}

lc_server_group() {
  if [ "$(id -u)" -eq 0 ]; then echo www-data; else id -gn; fi
}

# lc_write_demo_page FILE: the page with one live counter per style.
lc_write_demo_page() {
  local file=$1 entry name style start query
  {
    cat <<'EOF'
<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<title>lumicount demo</title>
<style>
body { font-family: sans-serif; margin: 2em; max-width: 46em; }
td, th { padding: 0.4em 1em; text-align: left; }
code, pre { background: #f2f2f2; }
/* Three screen pixels per picture pixel, no smoothing: the artwork as drawn. */
canvas.enlarged { image-rendering: pixelated; }
</style>
</head>
<body>
<h1>lumicount: four counter styles</h1>
<p>Each picture below is drawn by the CGI program on every load; reload the page to see the counts go up.
Beside it, the same picture enlarged three times.</p>
<table>
<tr><th>style</th><th>counter</th><th>enlarged</th><th>markup</th></tr>
EOF
    for entry in "${LC_DEMO_COUNTERS[@]}"; do
      IFS=: read -r name style start <<<"$entry"
      query=$name${style:++$style}
      printf '<tr><td>%s</td><td><img class="counter" id="%s" src="/cgi-bin/lumicount?%s" alt="%s"></td><td><canvas class="enlarged" id="%s-x3" width="0" height="0"></canvas></td><td><code>&lt;img src="/cgi-bin/lumicount?%s"&gt;</code></td></tr>\n' \
        "${style:-0}" "$name" "$query" "$name" "$name" "$query"
    done
    cat <<'EOF'
</table>
<h2>How to embed a counter</h2>
<ol>
<li>Create the counter file beside the program: an empty file, or one holding the starting count, named after the counter with <code>.ini</code>, e.g. <code>hits.ini</code>. The web server's user must be able to write it and the directory.</li>
<li>Put an image on your page whose address is the program followed by <code>?</code>, the counter name and optionally <code>+</code> and a style 1, 2 or 3:
<pre>&lt;img src="/cgi-bin/lumicount?hits+1" alt="visitors"&gt;</pre></li>
<li>Every load of the page advances the counter by one and is recorded in <code>lctlog.txt</code> beside the program.</li>
</ol>
<h2>What your browser received</h2>
<pre id="report">waiting for the pictures</pre>
<script>
window.addEventListener("load", function () {
  var lines = [];
  document.querySelectorAll("img.counter").forEach(function (img) {
    lines.push(img.id + " complete=" + img.complete + " size=" + img.naturalWidth + "x" + img.naturalHeight);
    // The picture already loaded, copied: a second request would count a second visit.
    var enlarged = document.getElementById(img.id + "-x3");
    enlarged.width = img.naturalWidth;
    enlarged.height = img.naturalHeight;
    enlarged.style.width = 3 * img.naturalWidth + "px";
    enlarged.style.height = 3 * img.naturalHeight + "px";
    if (img.naturalWidth > 0) enlarged.getContext("2d").drawImage(img, 0, 0);
  });
  document.getElementById("report").textContent = lines.join("\n");
});
</script>
</body>
</html>
EOF
  } >"$file"
}

# lc_make_site DIR PROGRAM: htdocs with the demo page, cgi-bin with the program
# and the demo counters, writable for the server's user; run/ and logs/ for Apache.
lc_make_site() {
  local dir=$1 program=$2 entry name style start
  mkdir -p "$dir/htdocs" "$dir/cgi-bin" "$dir/run" "$dir/logs" || return 1
  chmod 755 "$dir" "$dir/htdocs" "$dir/cgi-bin" "$dir/run" "$dir/logs"
  install -s -m 755 "$program" "$dir/cgi-bin/lumicount" || return 1
  for entry in "${LC_DEMO_COUNTERS[@]}"; do
    IFS=: read -r name style start <<<"$entry"
    printf '%s' "$start" >"$dir/cgi-bin/$name.ini"
  done
  lc_write_demo_page "$dir/htdocs/index.html"
  chown -R "$(lc_server_user):$(lc_server_group)" "$dir/cgi-bin"
}

# lc_write_apache_conf DIR PORT [MPM] [CGI]: DIR/httpd.conf for Debian's apache2
# started as `apache2 -f DIR/httpd.conf -DFOREGROUND`, nothing taken from /etc/apache2.
# MPM is event (default) or prefork, CGI is cgid (default), cgi or fcgid (the
# program resident under mod_fcgid, which starts and restarts its processes).
lc_write_apache_conf() {
  local dir=$1 port=$2 mpm=${3:-event} cgi=${4:-cgid} mod
  {
    cat <<EOF
ServerRoot "$dir"
ServerName 127.0.0.1
Listen 127.0.0.1:$port
PidFile "$dir/run/httpd.pid"
DefaultRuntimeDir "$dir/run"
Mutex file:$dir/run default
ErrorLog "$dir/logs/error.log"
LogLevel warn
LoadModule mpm_${mpm}_module $LC_APACHE_MODULES/mod_mpm_${mpm}.so
LoadModule ${cgi}_module $LC_APACHE_MODULES/mod_${cgi}.so
EOF
    for mod in alias headers mime dir authz_core; do
      echo "LoadModule ${mod}_module $LC_APACHE_MODULES/mod_${mod}.so"
    done
    [ "$cgi" = cgid ] && echo "ScriptSock \"$dir/run/cgid.sock\""
    [ "$cgi" = fcgid ] && printf 'FcgidIPCDir "%s"\nFcgidProcessTableFile "%s"\n' "$dir/run/fcgid" "$dir/run/fcgid.shm"
    [ "$(id -u)" -eq 0 ] && printf 'User %s\nGroup %s\n' "$(lc_server_user)" "$(lc_server_group)"
    cat <<EOF
LogFormat "%h %t \"%r\" %>s %b \"%{User-Agent}i\"" plain
CustomLog "$dir/logs/access.log" plain
TypesConfig /etc/mime.types
DirectoryIndex index.html
DocumentRoot "$dir/htdocs"
<Directory />
  AllowOverride None
  Require all denied
</Directory>
<Directory "$dir/htdocs">
  Require all granted
</Directory>
$(lc_apache_program_lines "$dir" "$cgi")
# A cached picture would make the counter stand still.
<Location "/cgi-bin/">
  Header always set Cache-Control "no-cache, no-store, must-revalidate"
  Header always set Expires "Thu, 01 Jan 1970 00:00:00 GMT"
</Location>
EOF
  } >"$dir/httpd.conf"
}

# lc_apache_program_lines DIR CGI: how Apache runs the programs of DIR/cgi-bin.
lc_apache_program_lines() {
  if [ "$2" != fcgid ]; then
    printf 'ScriptAlias /cgi-bin/ "%s/cgi-bin/"\n<Directory "%s/cgi-bin">\n  Require all granted\n</Directory>\n' "$1" "$1"
    return
  fi
  # Only the program is mapped: the counter files and the log are never served.
  cat <<EOF
Alias /cgi-bin/lumicount "$1/cgi-bin/lumicount"
<Directory "$1/cgi-bin">
  Require all granted
  SetHandler fcgid-script
  Options +ExecCGI
</Directory>
EOF
}

# The same site under the other tested servers. Each writes its config into DIR;
# lc_run_server then runs the server in the foreground, children in its process group.
LC_SERVERS=(apache lighttpd nginx busybox apache-fcgid lighttpd-fastcgi nginx-fastcgi)
LC_NO_CACHE="no-cache, no-store, must-revalidate"
LC_EXPIRED="Thu, 01 Jan 1970 00:00:00 GMT"

# lc_run_dir DIR: DIR/run/fcgi for a server's FastCGI sockets, the server's user's.
lc_run_dir() {
  mkdir -p "$1/run/fcgi" && chown "$(lc_server_user):$(lc_server_group)" "$1/run/fcgi"
}

# lc_write_lighttpd_conf DIR PORT [MODULE]: lighttpd with mod_cgi (default) or
# mod_fastcgi, which starts the program resident and restarts a process that ends.
lc_write_lighttpd_conf() {
  local dir=$1 port=$2 module=${3:-cgi}
  # lighttpd opens its error log and its FastCGI sockets after giving up root.
  chown "$(lc_server_user):$(lc_server_group)" "$dir/logs" && lc_run_dir "$dir" || return 1
  {
    cat <<EOF
server.modules = ("mod_access", "mod_alias", "mod_setenv", "mod_$module")
server.bind = "127.0.0.1"
server.port = $port
server.document-root = "$dir/htdocs"
server.errorlog = "$dir/logs/error.log"
index-file.names = ("index.html")
mimetype.assign = (".html" => "text/html")
EOF
    [ "$(id -u)" -eq 0 ] && printf 'server.username = "%s"\nserver.groupname = "%s"\n' "$(lc_server_user)" "$(lc_server_group)"
    cat <<EOF
alias.url = ("/cgi-bin/" => "$dir/cgi-bin/")
\$HTTP["url"] =~ "^/cgi-bin/" {
  # Only the program runs; the counter files and the log are never served.
$(lc_lighttpd_program_lines "$dir" "$module")
  url.access-deny = (".ini", ".txt", ".tmp", ".lck")
  # A cached picture would make the counter stand still.
  setenv.set-response-header = ("Cache-Control" => "$LC_NO_CACHE", "Expires" => "$LC_EXPIRED")
}
EOF
  } >"$dir/lighttpd.conf"
}

# lc_lighttpd_program_lines DIR MODULE: how lighttpd runs DIR/cgi-bin/lumicount.
lc_lighttpd_program_lines() {
  if [ "$2" = cgi ]; then
    echo '  cgi.assign = ("/lumicount" => "")'
    return
  fi
  cat <<EOF
  fastcgi.server = ("/cgi-bin/lumicount" => ((
    "socket" => "$1/run/fcgi/lumicount.sock",
    "bin-path" => "$1/cgi-bin/lumicount",
    "max-procs" => 2,
    "check-local" => "disable"
  )))
EOF
}

# lc_write_nginx_conf DIR PORT [SOCKET]: nginx passing the program to the FastCGI
# socket DIR/run/fcgi/SOCKET: fcgiwrap.sock (default) or lumicount.sock, the
# program itself, resident.
lc_write_nginx_conf() {
  local dir=$1 port=$2 socket=${3:-fcgiwrap.sock} upstream="" pass
  lc_run_dir "$dir" || return 1
  pass="unix:$dir/run/fcgi/$socket"
  if [ "$socket" = lumicount.sock ]; then
    # Sites often ask to keep upstream connections; the program closes each after its request.
    upstream="upstream lumicount { server $pass; keepalive 4; }"
    pass="lumicount;
      fastcgi_keep_conn on"
  fi
  {
    echo "pid $dir/run/nginx.pid;"
    echo "error_log $dir/logs/error.log warn;"
    [ "$(id -u)" -eq 0 ] && echo "user $(lc_server_user) $(lc_server_group);"
    cat <<EOF
worker_processes 2;
events { worker_connections 256; }
http {
  access_log $dir/logs/access.log;
  client_body_temp_path $dir/run/body;
  proxy_temp_path $dir/run/proxy;
  fastcgi_temp_path $dir/run/fastcgi;
  uwsgi_temp_path $dir/run/uwsgi;
  scgi_temp_path $dir/run/scgi;
  types { text/html html; }
  $upstream
  server {
    listen 127.0.0.1:$port;
    root $dir/htdocs;
    index index.html;
    # Only the program runs; the counter files and the log are never served.
    location = /cgi-bin/lumicount {
      include /etc/nginx/fastcgi_params;
      fastcgi_param SCRIPT_FILENAME $dir/cgi-bin/lumicount;
      fastcgi_pass $pass;
      # A cached picture would make the counter stand still.
      add_header Cache-Control "$LC_NO_CACHE" always;
      add_header Expires "$LC_EXPIRED" always;
    }
    location /cgi-bin/ { return 404; }
  }
}
EOF
  } >"$dir/nginx.conf"
}

# lc_write_busybox_conf DIR: busybox httpd runs the programs in cgi-bin/ of its
# home, so that is a link to the site's; it cannot add response headers.
lc_write_busybox_conf() {
  local dir=$1
  ln -sfn ../cgi-bin "$dir/htdocs/cgi-bin" && echo ".html:text/html" >"$dir/busybox.conf"
}

lc_unknown_server() {
  echo "unknown server $1 (one of ${LC_SERVERS[*]})" >&2
  return 1
}

# lc_server_packages SERVER: the Debian packages that serve the site.
lc_server_packages() {
  case $1 in
    apache) echo apache2 ;;
    lighttpd) echo lighttpd ;;
    nginx) echo nginx fcgiwrap ;;
    apache-fcgid) echo apache2 libapache2-mod-fcgid ;;
    lighttpd-fastcgi) echo lighttpd ;;
    nginx-fastcgi) echo nginx spawn-fcgi ;;
    busybox) echo busybox ;;
    *) lc_unknown_server "$1" ;;
  esac
}

# lc_write_server_conf SERVER DIR PORT
lc_write_server_conf() {
  case $1 in
    apache) lc_write_apache_conf "$2" "$3" ;;
    lighttpd) lc_write_lighttpd_conf "$2" "$3" ;;
    nginx) lc_write_nginx_conf "$2" "$3" ;;
    busybox) lc_write_busybox_conf "$2" ;;
    apache-fcgid) lc_write_apache_conf "$2" "$3" event fcgid ;;
    lighttpd-fastcgi) lc_write_lighttpd_conf "$2" "$3" fastcgi ;;
    nginx-fastcgi) lc_write_nginx_conf "$2" "$3" lumicount.sock ;;
    *) lc_unknown_server "$1" ;;
  esac
}

# lc_spawn_resident DIR: the program, resident, on DIR/run/fcgi/lumicount.sock as
# the server's user, by its path; spawn-fcgi replaces the shell and then execs it.
lc_spawn_resident() {
  local as_user=()
  [ "$(id -u)" -eq 0 ] && as_user=(-u "$(lc_server_user)" -g "$(lc_server_group)")
  exec /usr/bin/spawn-fcgi -n -s "$1/run/fcgi/lumicount.sock" "${as_user[@]}" -- "$1/cgi-bin/lumicount"
}

# lc_run_nginx DIR SOCKET: nginx in the foreground, once DIR/run/fcgi/SOCKET, where it
# passes the requests, is there.
lc_run_nginx() {
  for _ in $(seq 100); do [ -S "$1/run/fcgi/$2" ] && break; sleep 0.05; done
  exec /usr/sbin/nginx -p "$1" -c "$1/nginx.conf" -e "$1/logs/error.log" -g "daemon off;"
}

# lc_run_server SERVER DIR PORT: the server in the foreground until it is signalled.
lc_run_server() {
  local server=$1 dir=$2 port=$3 as_user=()
  [ "$(id -u)" -eq 0 ] && as_user=(setpriv --reuid="$(lc_server_user)" --regid="$(lc_server_group)" --init-groups)
  case $server in
    apache | apache-fcgid) exec /usr/sbin/apache2 -f "$dir/httpd.conf" -DFOREGROUND ;;
    lighttpd | lighttpd-fastcgi) exec /usr/sbin/lighttpd -D -f "$dir/lighttpd.conf" ;;
    nginx)
      # fcgiwrap runs the program as the server's user, one child per concurrent request.
      "${as_user[@]}" /usr/sbin/fcgiwrap -c 8 -s "unix:$dir/run/fcgi/fcgiwrap.sock" &
      lc_run_nginx "$dir" fcgiwrap.sock ;;
    nginx-fastcgi)
      # One resident process; spawn-fcgi does not start it again should it end.
      (lc_spawn_resident "$dir") &
      lc_run_nginx "$dir" lumicount.sock ;;
    busybox)
      exec busybox httpd -f -p "127.0.0.1:$port" -h "$dir/htdocs" -c "$dir/busybox.conf" \
        ${as_user:+-u "$(lc_server_user):$(lc_server_group)"} ;;
    *) lc_unknown_server "$server" ;;
  esac
}
