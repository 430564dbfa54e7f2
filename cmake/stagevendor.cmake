# Copies the UI's third-party files from node_modules (installed by
# scripts/setup with npm ci) into the staged document root.
#   cmake -DSOURCE_DIR=<repo> -DDOCROOT=<build/app/www> -P stagevendor.cmake
set(uplot ${SOURCE_DIR}/node_modules/uplot/dist)
if(NOT EXISTS ${uplot}/uPlot.iife.min.js)
  message(WARNING "node_modules/uplot is missing (run scripts/setup): the UI's chart library is not staged")
  return()
endif()
file(COPY ${uplot}/uPlot.iife.min.js ${uplot}/uPlot.min.css ${SOURCE_DIR}/node_modules/uplot/LICENSE
     DESTINATION ${DOCROOT}/vendor/uplot)
