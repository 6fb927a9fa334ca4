      * Copies the variable records of in.dat to out.dat, showing each
      * with its length, then writes a fixed and a line sequential file.
      * COB_VARSEQ_FORMAT picks the variable prefix.
       IDENTIFICATION DIVISION.
       PROGRAM-ID. COPIER.
       ENVIRONMENT DIVISION.
       INPUT-OUTPUT SECTION.
       FILE-CONTROL.
           SELECT INF ASSIGN TO "in.dat"
               ORGANIZATION RECORD SEQUENTIAL.
           SELECT OUTF ASSIGN TO "out.dat"
               ORGANIZATION RECORD SEQUENTIAL.
           SELECT FIXF ASSIGN TO "fix.dat"
               ORGANIZATION RECORD SEQUENTIAL.
           SELECT LINEF ASSIGN TO "lines.txt"
               ORGANIZATION LINE SEQUENTIAL.
       DATA DIVISION.
       FILE SECTION.
       FD INF RECORD VARYING FROM 1 TO 300 DEPENDING ON VLEN.
       01 IREC PIC X(300).
       FD OUTF RECORD VARYING FROM 1 TO 300 DEPENDING ON VLEN.
       01 OREC PIC X(300).
       FD FIXF.
       01 FREC PIC X(8).
       FD LINEF.
       01 LREC PIC X(20).
       WORKING-STORAGE SECTION.
       01 VLEN PIC 9(4) COMP.
       01 SHOWN PIC 9(4).
       01 DONE PIC X VALUE "N".
       PROCEDURE DIVISION.
           OPEN INPUT INF OUTPUT OUTF FIXF LINEF.
           PERFORM UNTIL DONE = "Y"
               READ INF
                   AT END MOVE "Y" TO DONE
                   NOT AT END
                       MOVE VLEN TO SHOWN
                       DISPLAY SHOWN ":" IREC(1:VLEN)
                       MOVE IREC TO OREC
                       WRITE OREC
               END-READ
           END-PERFORM.
           MOVE "ABCDEFGH" TO FREC. WRITE FREC.
           MOVE "12" TO FREC. WRITE FREC.
           MOVE "ONE" TO LREC. WRITE LREC.
           MOVE SPACES TO LREC. WRITE LREC.
           MOVE "TWO  THREE" TO LREC. WRITE LREC.
           CLOSE INF OUTF FIXF LINEF.
           STOP RUN.
