<0001>{service_report.sh}
<0002>{remove_temp_folder}
