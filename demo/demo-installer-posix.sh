# The demo's installer: version 2.0.0 of the application that the updater will start again, which
# it finds on the command line of the updater that started it (the value after --restart).
pid=$PPID
while [ "$pid" -gt 1 ]; do
    restart=$(tr '\0' '\n' <"/proc/$pid/cmdline" | sed -n '/^--restart$/{n;p;q;}')
    [ -n "$restart" ] && break
    pid=$(sed 's/.*) //' "/proc/$pid/stat" | cut -d' ' -f2)
done
[ -n "$restart" ] && printf '2.0.0\n' >"$(dirname -- "$restart")/version.txt"
