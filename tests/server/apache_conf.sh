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
</style>
</head>
<body>
<h1>lumicount: four counter styles</h1>
<p>Each picture below is drawn by the CGI program on every load; reload the page to see the counts go up.</p>
<table>
<tr><th>style</th><th>counter</th><th>markup</th></tr>
EOF
    for entry in "${LC_DEMO_COUNTERS[@]}"; do
      IFS=: read -r name style start <<<"$entry"
      query=$name${style:++$style}
      printf '<tr><td>%s</td><td><img class="counter" id="%s" src="/cgi-bin/lumicount?%s" alt="%s"></td><td><code>&lt;img src="/cgi-bin/lumicount?%s"&gt;</code></td></tr>\n' \
        "${style:-0}" "$name" "$query" "$name" "$query"
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
  install -m 755 "$program" "$dir/cgi-bin/lumicount" || return 1
  for entry in "${LC_DEMO_COUNTERS[@]}"; do
    IFS=: read -r name style start <<<"$entry"
    printf '%s' "$start" >"$dir/cgi-bin/$name.ini"
  done
  lc_write_demo_page "$dir/htdocs/index.html"
  chown -R "$(lc_server_user):$(lc_server_group)" "$dir/cgi-bin"
}

# lc_write_apache_conf DIR PORT [MPM] [CGI]: DIR/httpd.conf for Debian's apache2
# started as `apache2 -f DIR/httpd.conf -DFOREGROUND`, nothing taken from /etc/apache2.
# MPM is event (default) or prefork, CGI is cgid (default) or cgi.
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
ScriptAlias /cgi-bin/ "$dir/cgi-bin/"
<Directory "$dir/cgi-bin">
  Require all granted
</Directory>
# A cached picture would make the counter stand still.
<Location "/cgi-bin/">
  Header always set Cache-Control "no-cache, no-store, must-revalidate"
  Header always set Expires "Thu, 01 Jan 1970 00:00:00 GMT"
</Location>
EOF
  } >"$dir/httpd.conf"
}
