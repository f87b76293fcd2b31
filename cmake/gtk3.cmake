# GTK 3 for the Linux file choosers, as the target gtk3: through pkg-config where it is there,
# otherwise from the headers and libraries in the system's usual places. The choosers call into
# GTK, GObject and GLib only; the rest of GTK's stack comes in with those shared libraries, but its
# headers are needed to compile gtk/gtk.h.
add_library(gtk3 INTERFACE)

find_package(PkgConfig QUIET)
if(PKG_CONFIG_FOUND)
    pkg_check_modules(GTK3 REQUIRED IMPORTED_TARGET gtk+-3.0)
    target_link_libraries(gtk3 INTERFACE PkgConfig::GTK3)
    return()
endif()

message(STATUS "pkg-config not used: looking for GTK 3's headers and libraries directly")
foreach(library gtk-3 gobject-2.0 glib-2.0)
    find_library(GTK3_LIBRARY_${library} ${library} REQUIRED)
    target_link_libraries(gtk3 INTERFACE ${GTK3_LIBRARY_${library}})
endforeach()

# glibconfig.h lives beside the GLib library, the other headers under the include folders.
get_filename_component(glib_library_folder ${GTK3_LIBRARY_glib-2.0} DIRECTORY)
find_path(GTK3_INCLUDE_glibconfig glibconfig.h PATHS ${glib_library_folder}/glib-2.0/include NO_DEFAULT_PATH REQUIRED)
target_include_directories(gtk3 INTERFACE ${GTK3_INCLUDE_glibconfig})
foreach(header_and_folder gtk/gtk.h:gtk-3.0 glib.h:glib-2.0 pango/pango.h:pango-1.0 hb.h:harfbuzz cairo.h:cairo
                          gdk-pixbuf/gdk-pixbuf.h:gdk-pixbuf-2.0 atk/atk.h:atk-1.0)
    string(REPLACE ":" ";" parts ${header_and_folder})
    list(GET parts 0 header)
    list(GET parts 1 folder)
    find_path(GTK3_INCLUDE_${folder} ${header} PATH_SUFFIXES ${folder} REQUIRED)
    target_include_directories(gtk3 INTERFACE ${GTK3_INCLUDE_${folder}})
endforeach()
