<0001>{collect_logs.sh}
<0002>{remove_ut_update_file}
<0002>{remove_temp_folder}
