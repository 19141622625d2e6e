# The whole update as klov runs it, across both restarts. Progress lines stay out of the
# console; the rest of what klov says is shown.
echo "@@ mark update-start"
klov update --yes >/tmp/update.log 2>&1
status=$?
echo "@@ mark update-end status=${status}"
grep -v '%' /tmp/update.log
echo "@@ klov-info $(klov info --json | tr -d '\n')"
exit "$status"
