# Sourced by the scripts that run what a build made (tools/demo.sh,
# tools/bench.sh) with their arguments: takes --build DIR and --no-build out
# of them, then sets the machine up and builds unless --no-build was given.
# Leaves the build folder in $build and the other arguments in the array args.
build="$here/build"
build_step=1
args=()
while [ $# -gt 0 ]; do
  case "$1" in
    --build) build=$(realpath -m "$2"); shift 2 ;;
    --no-build) build_step=0; shift ;;
    *) args+=("$1"); shift ;;
  esac
done

if [ "$build_step" = 1 ]; then
  echo "==> Setting up the machine (tools/setup.sh)"
  bash "$here/tools/setup.sh" >/dev/null
  echo "==> Building (tools/build.sh $build)"
  bash "$here/tools/build.sh" "$build"
fi
