// The command line under node sees the environment it is started with
// (TMPDIR above all), as the host's build does.
Module['preRun'] = [function () {
  Object.assign(ENV, process.env);
}];
