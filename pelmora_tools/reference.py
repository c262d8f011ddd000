"""The five drawing routines written plainly in Python: the twin that the tests hold
Pelmora to and that bench/run.py times it against.

Every statement sits on the line that Pelmora's tracebacks report for it, and every OpenGL
name, drawSquare inside the cubes included, is a global looked up when its statement runs:
rebinding a name here reroutes the calls exactly as rebinding it in Pelmora does there.
`/` is this interpreter's own division, classic on Python 2.7 and true on Python 3, as
Pelmora's is; so this file never imports division from __future__.
"""
from OpenGL.GLUT import *
from OpenGL.GL import *
from OpenGL.GLU import *

# Blank lines keep every statement on the line that Pelmora reports for it.












def draw3DCoordinateAxes():
    glBegin(GL_LINES)
    glColor4f(1.0, 0.0, 0.0, 1.0)
    glVertex3f(0.0, 0.0, 0.0)
    glVertex3f(1.0, 0.0, 0.0)

    glColor4f(0.0, 1.0, 0.0, 1.0)
    glVertex3f(0.0, 0.0, 0.0)
    glVertex3f(0.0, 1.0, 0.0)

    glColor4f(0.0, 0.0, 1.0, 1.0)
    glVertex3f(0.0, 0.0, 0.0)
    glVertex3f(0.0, 0.0, 1.0)
    glEnd()


def drawViewVolume(left, right, bottom, top, near, far):
    """
    Draws a view volume defined by (left, right, bottom, top, near, far)
    """


    glColor4f(1.0, 1.0, 1.0, 1.0)

    glBegin(GL_LINES)
    # near rectangle: top, bottom, right, left edges
    glVertex3d(right, top, -near)
    glVertex3d(left, top, -near)

    glVertex3d(right, bottom, -near)
    glVertex3d(left, bottom, -near)

    glVertex3d(right, bottom, -near)
    glVertex3d(right, top, -near)

    glVertex3d(left, bottom, -near)
    glVertex3d(left, top, -near)


    # far rectangle, the same edges as homogeneous vertices
    glVertex4d(right, top, -near, near / far)
    glVertex4d(left, top, -near, near / far)

    glVertex4d(right, bottom, -near, near / far)
    glVertex4d(left, bottom, -near, near / far)

    glVertex4d(right, bottom, -near, near / far)
    glVertex4d(right, top, -near, near / far)

    glVertex4d(left, bottom, -near, near / far)
    glVertex4d(left, top, -near, near / far)


    # side edges, near corner to far corner
    glVertex3d(left, top, -near)
    glVertex3d((far / near) * left, (far / near) * top, -far)

    glVertex3d(right, top, -near)
    glVertex3d((far / near) * right, (far / near) * top, -far)

    glVertex3d(left, bottom, -near)
    glVertex3d((far / near) * left, (far / near) * bottom, -far)

    glVertex3d(right, bottom, -near)
    glVertex3d((far / near) * right, (far / near) * bottom, -far)
    glEnd()

def drawSquare(size):
    glBegin(GL_QUADS)
    glVertex3f(-0.5 * size, -0.5 * size, 0)
    glVertex3f(0.5 * size, -0.5 * size, 0)
    glVertex3f(0.5 * size, 0.5 * size, 0)
    glVertex3f(-0.5 * size, 0.5 * size, 0)
    glEnd()



def drawGrayCube(size):
    glColor4f(0.3, 0.3, 0.3, 1.0)
    glPushMatrix()
    glTranslatef(0, 0, 0.5)
    drawSquare(1)
    glPopMatrix()

    glColor4f(0.4, 0.4, 0.4, 1.0)
    glPushMatrix()
    glTranslatef(0, 0, -0.5)
    drawSquare(1)
    glPopMatrix()

    glColor4f(0.5, 0.5, 0.5, 1.0)
    glPushMatrix()
    glRotatef(90, 0, 1, 0)
    glTranslatef(0, 0, -0.5)
    drawSquare(1)
    glPopMatrix()

    glColor4f(0.6, 0.6, 0.6, 1.0)
    glPushMatrix()
    glRotatef(90, 0, 1, 0)
    glTranslatef(0, 0, 0.5)
    drawSquare(1)
    glPopMatrix()


    glColor4f(0.7, 0.7, 0.7, 1.0)
    glPushMatrix()
    glRotatef(90, 1, 0, 0)
    glTranslatef(0, 0, -0.5)
    drawSquare(1)
    glPopMatrix()

    glColor4f(0.8, 0.8, 0.8, 1.0)
    glPushMatrix()
    glRotatef(-90, 1, 0, 0)
    glTranslatef(0, 0, -0.5)
    drawSquare(1)
    glPopMatrix()





def drawColoredCube(size):
    glColor4f(1.0, 0.0, 0.0, 1.0)
    glPushMatrix()
    glTranslatef(0, 0, 0.5)
    drawSquare(1)
    glPopMatrix()

    glColor4f(0.5, 0.5, 0.0, 1.0)
    glPushMatrix()
    glTranslatef(0, 0, -0.5)
    drawSquare(1)
    glPopMatrix()

    glColor4f(0.5, 0.5, 0.5, 1.0)
    glPushMatrix()
    glRotatef(90, 0, 1, 0)
    glTranslatef(0, 0, -0.5)
    drawSquare(1)
    glPopMatrix()

    glColor4f(0.0, 0.5, 0.5, 1.0)
    glPushMatrix()
    glRotatef(90, 0, 1, 0)
    glTranslatef(0, 0, 0.5)
    drawSquare(1)
    glPopMatrix()


    glColor4f(0.5, 0.0, 0.5, 1.0)
    glPushMatrix()
    glRotatef(90, 1, 0, 0)
    glTranslatef(0, 0, -0.5)
    drawSquare(1)
    glPopMatrix()

    glColor4f(0.5, 0.0, 0.0, 1.0)
    glPushMatrix()
    glRotatef(-90, 1, 0, 0)
    glTranslatef(0, 0, -0.5)
    drawSquare(1)
    glPopMatrix()
