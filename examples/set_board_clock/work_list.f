<0001>{set_clock.sh}
<0002>{remove_temp_folder}
