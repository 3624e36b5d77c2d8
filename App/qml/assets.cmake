# Images and sounds of the UI. The PNGs are rendered from the SVGs beside them
# (rsvg-convert -w 256 -h 256 icon.svg -o icon-transparent-256.png); the sound is written by
# scripts/make-out-of-sync-sound.py.
qt_add_resources(mireva_ui "mireva_assets" PREFIX "/" BASE ${CMAKE_CURRENT_LIST_DIR} FILES
    ${CMAKE_CURRENT_LIST_DIR}/images/icon-transparent-256.png
    ${CMAKE_CURRENT_LIST_DIR}/images/logo.png
    ${CMAKE_CURRENT_LIST_DIR}/sounds/out-of-sync.wav)
