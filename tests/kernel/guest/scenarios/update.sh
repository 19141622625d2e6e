# The whole update as klov runs it, across both restarts. Each line klov writes gets the
# guest's uptime in front; progress lines stay out of the console.
echo "@@ mark update-start"
{
    klov update --yes 2>&1
    echo "klov-status $?"
} | while IFS= read -r line; do
    echo "$(cut -d' ' -f1 /proc/uptime) ${line}"
done >/tmp/update.log
status=$(sed -n 's/^[0-9.]* klov-status //p' /tmp/update.log)
echo "@@ mark update-end status=${status}"
# The flash phase, from the first erase step to the end of verification (plain progress lines).
awk '/ erase 0%/ && !s { s = $1 } / verify 100%/ { e = $1 }
     END { if (s && e) printf "@@ flash-phase seconds=%.2f\n", e - s }' /tmp/update.log
grep -v -e '%' -e klov-status /tmp/update.log
echo "@@ klov-info $(klov info --json | tr -d '\n')"
exit "${status:-1}"
