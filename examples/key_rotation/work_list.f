<0001>{rotate_keys.sh}
<0002>{remove_temp_folder}
