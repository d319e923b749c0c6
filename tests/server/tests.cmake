# Suites that run the built program under private web servers (and Chromium) on loopback.
# Labelled "server" so that sanitizer runs can leave them out.

add_executable(server_gif_probe ${CMAKE_CURRENT_LIST_DIR}/gif_probe.cpp)
target_link_libraries(server_gif_probe PRIVATE ${GIF_LIBRARY})

find_program(SERVER_PYTHON python3 PATHS /usr/bin NO_DEFAULT_PATH REQUIRED)
set(SERVER_DIR ${CMAKE_CURRENT_LIST_DIR})

# server_suite(NAME SCRIPT [ARGS...]): SCRIPT gets the program, then ARGS;
# -B keeps bytecode out of the source tree.
function(server_suite name script)
  add_test(NAME server_${name}
    COMMAND ${SERVER_PYTHON} -B ${SERVER_DIR}/${script} $<TARGET_FILE:lumicount> ${ARGN})
  set_tests_properties(server_${name} PROPERTIES LABELS server TIMEOUT 300)
endfunction()

set(PROBE $<TARGET_FILE:server_gif_probe>)
server_suite(requests_event_cgid test_requests.py ${PROBE} event cgid)
server_suite(requests_prefork_cgi test_requests.py ${PROBE} prefork cgi)
server_suite(load_event_cgid test_load.py event cgid)
server_suite(load_prefork_cgi test_load.py prefork cgi)
server_suite(browser test_browser.py)
server_suite(faults_direct test_faults_direct.py)
server_suite(faults_fastcgi test_faults_direct.py fastcgi)
server_suite(faults_apache test_faults_apache.py)
server_suite(permissions test_permissions.py ${PROBE})
server_suite(demo test_demo.py)
# Needs root and loop devices; says SKIP and exits 77 where the machine refuses them.
server_suite(power_cut test_power_cut.py)
set_tests_properties(server_power_cut PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 120)
# lighttpd, nginx + fcgiwrap and busybox httpd, which leave the query's words to the program,
# and the program resident under mod_fcgid, lighttpd's mod_fastcgi and nginx + spawn-fcgi.
server_suite(servers test_servers.py ${PROBE})
# Two web servers sharing one GlusterFS volume; needs root, FUSE and a loop device,
# and says SKIP and exits 77 where the machine refuses them.
server_suite(volume test_volume.py)
set_tests_properties(server_volume PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 600)
# The Debian package: built, installed into a fresh Debian 12 root with Apache, upgraded under
# requests, removed and purged. Needs root and chroot; says SKIP and exits 77 where refused.
server_suite(package test_package.py ${PROBE})
set_tests_properties(server_package PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 900)
# The container image: built by scripts/image, loaded into a private podman storage and run in
# CGI and resident mode with the counters on a volume. Needs root and podman; says SKIP and
# exits 77 where podman cannot run a container.
server_suite(container test_container.py)
set_tests_properties(server_container PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 900)
